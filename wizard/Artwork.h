#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

// The program's own pictures, compiled in from resources/artwork (SVG). Names without the
// extension: "app", "page-speaker", "page-microphone", "page-info", "pass", "fail", "present",
// "absent", "meter-low", "meter-high".

// The picture drawn at `size` (logical pixels) for the screen's pixel density, so that it
// stays sharp when the desktop is scaled.
QPixmap LoadArtwork(const QString& name, QSize size);

// The picture as an icon, drawn at whatever size it is shown.
QIcon LoadArtworkIcon(const QString& name);

// The resource path of a picture, for style sheets.
QString ArtworkPath(const QString& name);
