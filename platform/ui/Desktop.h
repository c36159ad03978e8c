#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The desktop's services, reached the freedesktop way and never through a shell: every program
// gets its arguments as a list. A missing service is reported with one line in the log.
namespace Desktop {

// The command opening a folder in the file manager, as a readable line for the log.
QString openCommandLine(const QString& folder);

// Opens the folder in the file manager (xdg-open) on a background thread; `done` then gets what
// the command printed (a null string for nothing), on that thread.
void openInFileManager(const QString& folder, std::function<void(const QString& output)> done = nullptr);

// Shows the files selected in a file-manager window (org.freedesktop.FileManager1.ShowItems on the
// session bus); without such a service, opens the folder of the first file instead. Main thread.
void showItemsInFileManager(const QStringList& paths);

// Opens a new message in the user's mail program with this subject, body and attachments, and no
// recipient (xdg-email). False when that cannot be started.
bool composeEmail(const QString& subject, const QString& body, const QStringList& attachments);

}  // namespace Desktop
