#pragma once

#include <QImage>
#include <QString>

// The three status lights of the source folder, drawn here: "NSStatusNone" a hollow grey ring
// with a dash, "NSStatusAvailable" a green disc with a check mark, "NSStatusUnavailable" a red
// octagon with a cross, so that shape tells them apart as well as colour. Any other name gives a
// null image. The image keeps its name under the text key "name".
QImage statusImageNamed(const QString& name);

// What the light means, for its tooltip; empty for none.
QString statusImageDescription(const QImage& image);
// The tooltip: the description, and the detail on a line of its own when there is one.
QString statusToolTip(const QImage& image, const QString& detail);
