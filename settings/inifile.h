#pragma once

#include <QString>

// Reads and writes single keys of an INI file in the format Qt's settings
// class uses, without its per-process cache.
//
// QSettings keeps every file it has read and re-reads it only when the file's
// size or modification time changed; two same-size rewrites within one clock
// tick (files renamed into place a few milliseconds apart carry identical time
// stamps) leave it answering with the old contents. Every call here parses the
// file as it is on disk at that moment.
namespace IniFile {

// The value of key in group, unescaped as Qt reads it; a null string when the
// file, the group or the key is absent (or the value is "@Invalid()"). A value
// that Qt would read as a list of several items reads as an empty string.
QString read(const QString &path, const QString &group, const QString &key);

// Sets key in group to value and writes the whole file anew (a new file
// renamed over the old one). Every other line of the file is kept as it was.
// Returns false when the file could not be written.
bool write(const QString &path, const QString &group, const QString &key, const QString &value);

} // namespace IniFile
