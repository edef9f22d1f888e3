#ifndef CLIARGCMDLINECONTEXT_H
#define CLIARGCMDLINECONTEXT_H

#include <QString>
#include <QtGlobal>
#include <QStringList>

// The tokens of a command line with a cursor at the next token to read.
class CliArgCmdLineContext
{
public:
    explicit CliArgCmdLineContext(const QStringList& tokens);

    bool atEnd() const;
    bool atBegin() const;
    // The token at the cursor, moving past it; a null string at the end.
    const QString& next();
    void putBack();
    // Inserts token at the cursor so that the next call of next() returns it.
    void prepend(const QString& token);

private:
    Q_DISABLE_COPY(CliArgCmdLineContext)

    static const QString m_null;

    QStringList m_list;
    QStringList::const_iterator m_it;
};

#endif
