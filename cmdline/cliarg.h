#ifndef CLIARG_H
#define CLIARG_H

#include "cliargiface.h"

#include <QVariant>

class CliArgConstraintIface;
class CliArgVisitorIface;

// An option with flags, long names and an optional value.
class CliArg : public CliArgIface
{
public:
    // An empty name gives an argument without long names.
    CliArg(const QChar& flag, const QString& name, const QString& description, bool required, bool withValue,
           CliArgVisitorIface* visitor, CliArgConstraintIface* constraint);
    CliArg(const QChar& flag, const QStringList& names, const QString& description, bool required,
           bool withValue, CliArgVisitorIface* visitor, CliArgConstraintIface* constraint);

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
    bool process(CliArgCmdLineContext& context) override;
    void visit(CliArgCmdLineContext& context) override;

    virtual QChar flag() const;
    virtual void setFlag(const QChar& flag);
    virtual void setFlags(const QList<QChar>& flags);
    // Stores value and makes the argument defined and present.
    virtual void setValue(const QVariant& value);

    void setLongDescription(const QString& text);
    bool isPresent() const;
    // Sets both the defined and the present state.
    void setDefined(bool defined);
    void setPresent(bool present);
    const QVariant& value() const;
    QVariant& value();
    CliArgVisitorIface* visitor() const;
    CliArgConstraintIface* constraint() const;

protected:
    // Throws when a constraint is set and refuses value.
    void checkValueConstraint(const QVariant& value) const;

private:
    QString m_description;
    QString m_longDescription;
    bool m_required;
    bool m_withValue;
    bool m_defined = false;
    bool m_present = false;
    QVariant m_value;
    CliArgVisitorIface* m_visitor;
    CliArgConstraintIface* m_constraint;
    QList<CliArgIface*> m_arguments;
};

#endif
