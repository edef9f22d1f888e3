#include "netconstraints.h"

#include "netvalidation.h"

bool NumericAddressConstraint::check(const QVariant& value)
{
    return isNumericAddress(value.toString());
}

bool PortNumberConstraint::check(const QVariant& value)
{
    quint16 port = 0;
    return parsePortNumber(value.toString(), &port);
}
