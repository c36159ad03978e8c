#include "platform/ui/SharingService.h"

#include "platform/ui/Desktop.h"

#include <QUrl>

std::shared_ptr<SharingService> SharingService::sharingServiceNamed(const QString& name) {
    if (name != QLatin1String(kComposeEmail)) return nullptr;
    return std::make_shared<SharingService>();
}

bool SharingService::performWithItems(const QVariantList& items) const {
    QString body;
    QStringList attachments;
    for (const QVariant& item : items) {
        if (item.typeId() == QMetaType::QUrl && item.toUrl().isLocalFile()) {
            attachments += item.toUrl().toLocalFile();
        } else if (item.typeId() == QMetaType::QString) {
            body += item.toString();
        }
    }
    return Desktop::composeEmail(subject_, body, attachments);
}
