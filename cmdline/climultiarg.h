#ifndef CLIMULTIARG_H
#define CLIMULTIARG_H

#include "cliarg.h"

// An option that may be given several times: its values are collected in a list, or, without value,
// its occurrences are counted.
class CliMultiArg : public CliArg
{
public:
    CliMultiArg(const QChar& flag, const QStringList& names, const QString& description, bool required,
                bool withValue, CliArgVisitorIface* visitor, CliArgConstraintIface* constraint);

    int count() const;

    void setValue(const QVariant& value) override;
    bool process(CliArgCmdLineContext& context) override;
    void checkConstraint() const override;
    QString getHelpString(const QStringList& allNames) const override;

private:
    int m_count = 0;
};

#endif
