#pragma once

#include <QString>
#include <QVariantList>

#include <memory>

// Hands items to another program. The one service here composes an e-mail: text items make the
// body, file URLs become attachments, and no recipient is set (xdg-email).
class SharingService {
public:
    static constexpr const char* kComposeEmail = "com.apple.share.Mail.compose";

    // None for a service this system does not have.
    static std::shared_ptr<SharingService> sharingServiceNamed(const QString& name);

    void setSubject(const QString& subject) { subject_ = subject; }
    QString subject() const { return subject_; }
    // Opens the new message; false when the mail hand-over could not be started.
    bool performWithItems(const QVariantList& items) const;

private:
    QString subject_;
};
