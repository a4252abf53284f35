#pragma once
// How gtest shows a QString when a comparison fails: as its text, not as a
// row of 2-byte objects. Every GUI test file includes this, so that each
// sees the same printer.

#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
