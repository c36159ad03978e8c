#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class SheetHost;

// A panel for choosing folders or files, shown window-modal on a window (our form of a sheet).
class OpenPanel {
public:
    static constexpr long kOK = 1;
    static constexpr long kCancel = 0;

    void setCanChooseDirectories(bool flag) { directories_ = flag; }
    void setCanChooseFiles(bool flag) { files_ = flag; }
    void setAllowsMultipleSelection(bool flag) { multiple_ = flag; }
    void setCanCreateDirectories(bool flag) { createDirectories_ = flag; }
    // Extensions without the dot, e.g. "mp4"; any letter case matches.
    void setAllowedFileTypes(const QStringList& types) { types_ = types; }
    void setMessage(const QString& message) { message_ = message; }
    void setPrompt(const QString& prompt) { prompt_ = prompt; }
    void setDirectoryURL(const QUrl& url) { directory_ = url; }

    // The handler receives kOK with the chosen items as file URLs, or kCancel. Main thread.
    void beginSheetModalForWindow(const SheetHost& host,
                                  std::function<void(long result, const QList<QUrl>& urls)> handler) const;

private:
    bool directories_ = false;
    bool files_ = true;
    bool multiple_ = false;
    bool createDirectories_ = true;
    QStringList types_;
    QString message_;
    QString prompt_;
    QUrl directory_;
};
