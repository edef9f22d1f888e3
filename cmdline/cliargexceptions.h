#ifndef CLIARGEXCEPTIONS_H
#define CLIARGEXCEPTIONS_H

#include <QString>

#include <stdexcept>

// Base of every error of the command-line framework; what() is the message in the local 8-bit encoding.
class CliArgBaseException : public std::runtime_error
{
public:
    explicit CliArgBaseException(const QString& message);

    const QString& message() const;

private:
    QString m_message;
};

class CliArgNotDefinedNorNameNorFlagEx : public CliArgBaseException
{
public:
    CliArgNotDefinedNorNameNorFlagEx();
};

class CliArgDissallowedFlagOrNameEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgNameOrFlagAlreadyKnownEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgNotDefinedMandatoryArgumentEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgNotDefinedOptionForTheArgumentEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgContraintNotObservedEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgXORMaskNotObservedEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgUnknownArgumentEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

class CliArgUnexpectedOptionEx : public CliArgBaseException
{
public:
    using CliArgBaseException::CliArgBaseException;
};

// Thrown once help has been written to standard output; its message is empty.
class CliArgHelpHasPrintedEx : public CliArgBaseException
{
public:
    CliArgHelpHasPrintedEx();
};

#endif
