#include "wizard/Artwork.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

// The pictures live in the wizard's static library; register them before the first use. The
// resource macro has to be used outside any namespace.
static void initArtwork() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(artwork);
        return true;
    }();
    (void)registered;
}

QString ArtworkPath(const QString& name) {
    initArtwork();
    return ":/artwork/" + name + ".svg";
}

QPixmap LoadArtwork(const QString& name, QSize size) {
    const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(size * ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(ArtworkPath(name));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QIcon LoadArtworkIcon(const QString& name) {
    return QIcon(ArtworkPath(name));
}
