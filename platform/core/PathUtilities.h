#pragma once

#include <QString>

// The path operations of the desktop platform's string class, on '/'-separated paths.
namespace Path {

// Expands a leading "~" or "~user", drops empty and "." components, resolves ".." in
// absolute paths (in relative paths leading ".." components stay) and removes a trailing
// separator. The root stays "/"; an empty path stays empty.
QString standardize(const QString& path);

// Joins with exactly one separator, whatever separators the two sides already carry.
QString appendingPathComponent(const QString& path, const QString& component);

QString lastPathComponent(const QString& path);
QString deletingLastPathComponent(const QString& path);

// The extension of the last component, without the dot; empty when it has none.
QString pathExtension(const QString& path);
QString deletingPathExtension(const QString& path);

// Only a leading "~" or "~user" expanded; the rest stays as it is.
QString expandingTildeInPath(const QString& path);

// The user's home folder: $HOME, else the password database.
QString homeDirectory();

}  // namespace Path
