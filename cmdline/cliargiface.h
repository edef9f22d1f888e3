#ifndef CLIARGIFACE_H
#define CLIARGIFACE_H

#include <QChar>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class CliArgCmdLineContext;

// Abstract base of every argument: its one-letter flags and its long names.
class CliArgIface
{
public:
    CliArgIface(const QStringList& names, const QList<QChar>& flags);
    virtual ~CliArgIface();

    virtual bool isRequired() const = 0;
    virtual bool isDefined() const = 0;
    virtual bool isWithValue() const = 0;
    // Declaration check: throws on a bad flag or name, or one already collected in flags or names.
    virtual void check(const QChar& delimiter, QList<QChar>& flags, QStringList& names) const = 0;
    // Check after the parse: throws when the argument's state is not acceptable.
    virtual void check() const = 0;
    virtual const QList<QChar>& flags() const;
    virtual const QStringList& names() const;
    virtual QString description() const = 0;
    virtual QString longDescription() const = 0;
    virtual CliArgIface* giveArgument(const QChar& flag) = 0;
    virtual CliArgIface* giveArgument(const QString& name) = 0;
    virtual const QList<CliArgIface*>& arguments() const = 0;
    virtual void checkConstraint() const = 0;
    // Usage fragment in marker text; allNames are the long names of every argument of the parser.
    virtual QString getUsageString(const QStringList& allNames) const;
    // One help line in marker text.
    virtual QString getHelpString(const QStringList& allNames) const;
    // Takes the argument's value or repeat count from context; true when a token was taken.
    virtual bool process(CliArgCmdLineContext& context) = 0;
    virtual void visit(CliArgCmdLineContext& context) = 0;

    // The name used in messages: the first long name, else the first flag.
    QString displayName() const;

protected:
    QList<QChar> m_flags;
    QStringList m_names;

private:
    // Arguments are referred to by address (by the parser and by groups), so they are never copied.
    Q_DISABLE_COPY(CliArgIface)
};

#endif
