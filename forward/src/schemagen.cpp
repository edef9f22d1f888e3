// Writes the master schema as the package installs it, from the same code that the forwarder runs.
#include "masterschema.h"

#include <cstdio>

int main()
{
    const QByteArray sql = masterSchemaSql(1).toUtf8();
    return std::fwrite(sql.constData(), 1, static_cast<size_t>(sql.size()), stdout) == static_cast<size_t>(sql.size())
               ? 0
               : 1;
}
