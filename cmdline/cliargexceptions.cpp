#include "cliargexceptions.h"

CliArgBaseException::CliArgBaseException(const QString& message)
    : std::runtime_error(message.toLocal8Bit().toStdString())
    , m_message(message)
{
}

const QString& CliArgBaseException::message() const
{
    return m_message;
}

CliArgNotDefinedNorNameNorFlagEx::CliArgNotDefinedNorNameNorFlagEx()
    : CliArgBaseException(QStringLiteral("Not defined nor name nor flag for argument."))
{
}

CliArgHelpHasPrintedEx::CliArgHelpHasPrintedEx()
    : CliArgBaseException(QString())
{
}
