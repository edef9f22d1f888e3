#ifndef MASTERSCHEMA_H
#define MASTERSCHEMA_H

#include "eventmodel.h"

#include <string>

// The master database's column type of a column: bigint or text.
const char* masterColumnType(const EventColumn& column);

// The master schema: the table of sources and one table per kind with its key and index, created when
// missing in one transaction. The forwarder runs it when it connects; the build installs it for operators.
std::string masterSchemaSql();

#endif
