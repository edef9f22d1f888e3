#ifndef NETCONSTRAINTS_H
#define NETCONSTRAINTS_H

#include "cliargconstraintiface.h"

// Accepts only a numeric IPv4 or IPv6 address: a host name would never be resolved.
class NumericAddressConstraint : public CliArgConstraintIface
{
public:
    bool check(const QVariant& value) override;
};

// Accepts only a decimal port number from 1 to 65535.
class PortNumberConstraint : public CliArgConstraintIface
{
public:
    bool check(const QVariant& value) override;
};

#endif
