#ifndef CLIARGCMDLINE_H
#define CLIARGCMDLINE_H

#include "cliargcmdlinecontext.h"
#include "cliargiface.h"

// Abstract command-line parser.
class CliArgCmdLineIface
{
public:
    virtual ~CliArgCmdLineIface() = default;

    virtual const QList<CliArgIface*>& arguments() const = 0;
    virtual const QChar& delimiter() const = 0;
    virtual void setDelimiter(const QChar& delimiter) = 0;
    virtual void addArg(CliArgIface& arg) = 0;
    virtual void addArg(CliArgIface* arg) = 0;
    virtual void parse(bool parseAfterDoubleDelimiter) = 0;
    virtual bool isFlag(const QString& token) const = 0;
    virtual bool isArgument(const QString& token) const = 0;
};

// Parses a command line into the states of the registered arguments, which it points at but does not own.
class CliArgCmdLine : public CliArgCmdLineIface
{
public:
    static constexpr QChar defaultDelimiter = QLatin1Char('-');

    // The tokens are argv[1] to argv[argc - 1].
    CliArgCmdLine(int argc, char** argv);
    // The tokens as given, without a program name.
    explicit CliArgCmdLine(const QStringList& tokens);

    const QList<CliArgIface*>& arguments() const override;
    const QChar& delimiter() const override;
    void setDelimiter(const QChar& delimiter) override;
    // Registers arg once and runs the declaration check over all registered arguments.
    void addArg(CliArgIface& arg) override;
    void addArg(CliArgIface* arg) override;
    // With parseAfterDoubleDelimiter false, a lone double delimiter ends the parse at once.
    void parse(bool parseAfterDoubleDelimiter) override;
    bool isFlag(const QString& token) const override;
    bool isArgument(const QString& token) const override;

    // The argument for a long name or an unambiguous abbreviation of one; throws CliArgUnknownArgumentEx.
    CliArgIface* findArgument(const QString& name);
    // The first argument with this flag; throws CliArgUnknownArgumentEx.
    CliArgIface* findArgument(const QChar& flag);

private:
    void checkArgumentsCorrectness() const;
    static void splitArgumentAndValue(const QString& token, QString& name, QString& value);
    QString removeDelimiters(const QString& name) const;
    void checkMandatoryArguments() const;
    // Hands one occurrence to arg, its value read from valueSource; true when arg took a token from it.
    bool processOccurrence(CliArgIface& arg, CliArgCmdLineContext& valueSource);

    CliArgCmdLineContext m_context;
    QList<CliArgIface*> m_args;
    QChar m_delimiter = defaultDelimiter;
};

#endif
