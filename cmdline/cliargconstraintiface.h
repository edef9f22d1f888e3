#ifndef CLIARGCONSTRAINTIFACE_H
#define CLIARGCONSTRAINTIFACE_H

#include <QVariant>

// Predicate on the value of an argument; true when the value is acceptable.
class CliArgConstraintIface
{
public:
    virtual ~CliArgConstraintIface() = default;

    virtual bool check(const QVariant& value) = 0;
};

#endif
