#pragma once

#include <QString>
#include <QVariantMap>

// The parameters of a folder panel: a folder-preference triple with these entries beside it,
// and optionally SettingTripleKey::PathEnable, naming a further setting set to true once a folder is chosen.
extern const QString sPanelMessageKey;   // "panelMessageKey"
extern const QString sPanelPromptKey;    // "panelPromptKey"
extern const QString sPanelDelegateKey;  // "panelDelegateKey"
extern const QString sPanelSenderKey;    // "panelSenderKey"

using OpenPanelParameters = QVariantMap;
