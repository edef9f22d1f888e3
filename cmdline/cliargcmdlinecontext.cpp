#include "cliargcmdlinecontext.h"

const QString CliArgCmdLineContext::m_null;

CliArgCmdLineContext::CliArgCmdLineContext(const QStringList& tokens)
    : m_list(tokens)
    , m_it(m_list.constBegin())
{
}

bool CliArgCmdLineContext::atEnd() const
{
    return m_it == m_list.constEnd();
}

bool CliArgCmdLineContext::atBegin() const
{
    return m_it == m_list.constBegin();
}

const QString& CliArgCmdLineContext::next()
{
    if (atEnd())
        return m_null;
    return *m_it++;
}

void CliArgCmdLineContext::putBack()
{
    if (!atBegin())
        --m_it;
}

void CliArgCmdLineContext::prepend(const QString& token)
{
    // Inserting may reallocate the list, so the cursor is rebuilt from its position.
    const int position = int(m_it - m_list.constBegin());
    m_list.insert(position, token);
    m_it = m_list.constBegin() + position;
}
