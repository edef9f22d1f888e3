#ifndef CLIARGTESTUTIL_H
#define CLIARGTESTUTIL_H

#include "cliargexceptions.h"

#include <QByteArray>
#include <QString>

#include <typeinfo>

// Runs action and returns the message of the framework exception that it threw, or a null string if none;
// type, when given, receives the exception's type name.
template <typename Action>
QString thrownText(Action action, QByteArray* type = nullptr)
{
    try {
        action();
    } catch (const CliArgBaseException& e) {
        if (type)
            *type = typeid(e).name();
        return e.message();
    }
    return QString();
}

#endif
