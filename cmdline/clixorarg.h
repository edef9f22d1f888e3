#ifndef CLIXORARG_H
#define CLIXORARG_H

#include "cliargiface.h"

// A group of arguments of which at most one may be given; found and reported through its members.
class CliXorArg : public CliArgIface
{
public:
    // name is used only in the message for a missing required group.
    CliXorArg(const QString& name, const QList<CliArgIface*>& args, bool required);

    bool isRequired() const override;
    bool isDefined() const override;
    bool isWithValue() const override;
    void check(const QChar& delimiter, QList<QChar>& flags, QStringList& names) const override;
    void check() const override;
    QString description() const override;
    QString longDescription() const override;
    CliArgIface* giveArgument(const QChar& flag) override;
    CliArgIface* giveArgument(const QString& name) override;
    const QList<CliArgIface*>& arguments() const override;
    void checkConstraint() const override;
    QString getUsageString(const QStringList& allNames) const override;
    QString getHelpString(const QStringList& allNames) const override;
    bool process(CliArgCmdLineContext& context) override;
    void visit(CliArgCmdLineContext& context) override;

private:
    QList<CliArgIface*> m_args;
    bool m_required;
    QString m_name;
};

#endif
