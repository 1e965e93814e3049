#include "options/StateIcons.h"

#include "options/OptionNode.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <array>

// Resources of a static library must be registered by name; outside any namespace.
static void initIconResources()
{
    Q_INIT_RESOURCE(varimond_options_icons);
}

namespace StateIcons {

namespace {

constexpr int GlyphCount = GlyphHome + 1;

// The drawings are rendered into pixmaps here rather than left to Qt's SVG icon engine plugin,
// so the icons look the same wherever the program runs, plugin or not.
QIcon render(const QString &resource)
{
    QSvgRenderer svg(resource);
    if (!svg.isValid())
        return {};
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 96}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

struct Cache
{
    std::array<QIcon, Count> images;
    std::array<QIcon, GlyphCount> glyphs;
    bool loaded = false;
};

Cache &cache()
{
    static Cache c;
    return c;
}

// Pixmaps may only live while the application object does: the cache is emptied when it goes.
void clearCache()
{
    Cache &c = cache();
    c.images.fill(QIcon());
    c.glyphs.fill(QIcon());
    c.loaded = false;
}

const Cache &loaded()
{
    Cache &c = cache();
    if (c.loaded || !qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return c;
    initIconResources();
    for (int i = 0; i < Count; ++i)
        c.images[static_cast<size_t>(i)] =
            render(QStringLiteral(":/options/icons/state%1.svg").arg(i, 2, 10, QLatin1Char('0')));
    static const char *const glyphNames[GlyphCount] = {"expand", "collapse", "previous", "next",
                                                       "stop",   "refresh",  "home"};
    for (int i = 0; i < GlyphCount; ++i)
        c.glyphs[static_cast<size_t>(i)] =
            render(QStringLiteral(":/options/icons/%1.svg").arg(QLatin1String(glyphNames[i])));
    c.loaded = true;
    qAddPostRoutine(clearCache);
    return c;
}

} // namespace

QIcon Image(int index)
{
    if (index < 0 || index >= Count)
        return {};
    return loaded().images[static_cast<size_t>(index)];
}

QIcon ForState(int state)
{
    if (state < Notice || state > MarkedFolderOpen)
        return {};
    return Image(state);
}

QIcon Glyph(GlyphId id)
{
    if (id < 0 || id >= GlyphCount)
        return {};
    return loaded().glyphs[static_cast<size_t>(id)];
}

} // namespace StateIcons
