#ifndef CLIARGS_H
#define CLIARGS_H

#include "cliarg.h"
#include "cliargcmdline.h"
#include "cliargcmdlinecontext.h"
#include "cliargconstraintiface.h"
#include "cliargexceptions.h"
#include "cliarghelp.h"
#include "cliarghelpprinter.h"
#include "cliargiface.h"
#include "cliargvisitoriface.h"
#include "climultiarg.h"
#include "clixorarg.h"

#endif
