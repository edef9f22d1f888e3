#ifndef READCURSOR_H
#define READCURSOR_H

#include "eventquery.h"

#include <QString>

#include <optional>

// The text of a cursor: where a read of a store ended, every table's position (and every source's on a store of
// many sources), with a check that finds a cursor cut short or changed.
QString cursorText(const StorePositions& positions, bool manySources);

// The positions that a cursor's text names; none, with the reason, when the text is no cursor or one of the
// other kind of store.
std::optional<StorePositions> parseCursor(const QString& text, bool manySources, QString& error);

#endif
