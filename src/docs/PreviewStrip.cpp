#include "docs/PreviewStrip.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMovie>
#include <QPixmap>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int TileSpacing = 4;
constexpr int StripMargin = 1;
/// Room around a thumbnail inside its tile.
constexpr int TilePadding = 4;
/// The strip's scroll bar is thinner than others: the strip's height is the document's.
constexpr int ThinScrollBar = 8;

class ThinBar final : public QScrollBar
{
public:
    ThinBar() : QScrollBar(Qt::Horizontal) {}
    QSize sizeHint() const override { return {QScrollBar::sizeHint().width(), ThinScrollBar}; }
};

constexpr double MinZoom = 0.05;
constexpr double MaxZoom = 16.0;
constexpr double ZoomStep = 1.25;
/// Animations are played only up to this size: QMovie decodes every frame on the GUI thread.
constexpr qint64 MaxAnimationPixels = 4LL * 1000 * 1000;

const QString CannotShow = QStringLiteral("cannot show this picture");

QToolButton *viewerButton(QWidget *parent, const char *name, const QString &text,
                          const QString &hint)
{
    auto *b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setText(text);
    b->setToolTip(hint);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

} // namespace

// ---- viewer ----

PreviewViewer::PreviewViewer(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("PreviewViewer"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFocusPolicy(Qt::StrongFocus);
    resize(900, 680);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto *bar = new QHBoxLayout;
    m_previous = viewerButton(this, "btnPrevious", QStringLiteral("◀"),
                              QStringLiteral("Previous picture (Left)"));
    m_next =
        viewerButton(this, "btnNext", QStringLiteral("▶"), QStringLiteral("Next picture (Right)"));
    m_zoomOut =
        viewerButton(this, "btnZoomOut", QStringLiteral("−"), QStringLiteral("Zoom out (-)"));
    m_zoomIn = viewerButton(this, "btnZoomIn", QStringLiteral("+"), QStringLiteral("Zoom in (+)"));
    m_fit =
        viewerButton(this, "btnFit", QStringLiteral("Fit"), QStringLiteral("Fit to window (0)"));
    m_caption = new QLabel(this);
    m_caption->setObjectName(QStringLiteral("lblCaption"));
    for (QToolButton *b : {m_previous, m_next, m_zoomOut, m_zoomIn, m_fit})
        bar->addWidget(b);
    bar->addSpacing(8);
    bar->addWidget(m_caption, 1);
    layout->addLayout(bar);
    m_area = new QScrollArea(this);
    m_area->setObjectName(QStringLiteral("PictureArea"));
    m_area->setAlignment(Qt::AlignCenter);
    m_area->setWidgetResizable(false);
    // The area takes the focus only from a click: the keys step through the pictures until
    // the player clicks into a picture to scroll it.
    m_area->setFocusPolicy(Qt::ClickFocus);
    m_label = new QLabel;
    m_label->setObjectName(QStringLiteral("lblPicture"));
    m_label->setAlignment(Qt::AlignCenter);
    m_area->setWidget(m_label);
    m_area->installEventFilter(this);
    m_area->viewport()->installEventFilter(this);
    m_label->installEventFilter(this);
    layout->addWidget(m_area, 1);

    connect(m_previous, &QToolButton::clicked, this, &PreviewViewer::showPrevious);
    connect(m_next, &QToolButton::clicked, this, &PreviewViewer::showNext);
    connect(m_zoomIn, &QToolButton::clicked, this, [this] { zoomBy(ZoomStep); });
    connect(m_zoomOut, &QToolButton::clicked, this, [this] { zoomBy(1 / ZoomStep); });
    connect(m_fit, &QToolButton::clicked, this, &PreviewViewer::fitToWindow);
    connect(&m_loader, &previews::PreviewLoader::pictureReady, this, &PreviewViewer::pictureReady);
}

PreviewViewer::~PreviewViewer() = default;

void PreviewViewer::showPictures(const QStringList &pictures, int index)
{
    m_pictures = pictures;
    m_index = std::clamp(index, 0, std::max(0, static_cast<int>(pictures.size()) - 1));
    show();
    raise();
    activateWindow();
    setFocus();
    load();
}

void PreviewViewer::showNext()
{
    if (m_index + 1 < m_pictures.size()) {
        ++m_index;
        load();
    }
}

void PreviewViewer::showPrevious()
{
    if (m_index > 0) {
        --m_index;
        load();
    }
}

void PreviewViewer::showIndex(int index)
{
    if (index >= 0 && index < m_pictures.size() && index != m_index) {
        m_index = index;
        load();
    }
}

void PreviewViewer::zoomBy(double factor)
{
    if (m_image.isNull() && !m_movie)
        return;
    const QSize natural = m_movie ? m_movie->currentImage().size() : m_image.size();
    double current = m_zoom;
    if (current <= 0 && natural.width() > 0) // from the fitted size
        current = static_cast<double>(m_label->width()) / natural.width();
    m_zoom = std::clamp(current * factor, MinZoom, MaxZoom);
    updatePicture();
}

void PreviewViewer::fitToWindow()
{
    m_zoom = 0;
    updatePicture();
}

void PreviewViewer::stopMovie()
{
    if (m_movie) {
        m_label->setMovie(nullptr);
        m_movie->stop();
        m_movie.reset();
        m_movieFile.reset();
    }
}

void PreviewViewer::load()
{
    stopMovie();
    m_image = QImage();
    m_zoom = 0;
    m_clickedIn = false;
    m_label->clear();
    m_label->setText(QStringLiteral("…"));
    m_label->adjustSize();
    m_previous->setEnabled(m_index > 0);
    m_next->setEnabled(m_index + 1 < m_pictures.size());
    if (m_index < 0 || m_index >= m_pictures.size())
        return;
    const QString path = m_pictures[m_index];
    const QString name = QFileInfo(path).fileName();
    m_caption->setText(
        QStringLiteral("%1   (%2 of %3)").arg(name).arg(m_index + 1).arg(m_pictures.size()));
    setWindowTitle(QStringLiteral("Preview - %1").arg(name));
    m_loader.requestPicture(path);
}

void PreviewViewer::pictureReady(quint64, int, const QImage &image, const QString &error,
                                 bool animated)
{
    m_image = image;
    if (image.isNull()) {
        m_label->setText(CannotShow + (error.isEmpty() ? QString() : QStringLiteral("\n") + error));
        m_label->adjustSize();
        Q_EMIT pictureShown(m_index);
        return;
    }
    const QString path = m_pictures.value(m_index);
    QString why;
    auto file = std::make_unique<QFile>();
    if (animated && static_cast<qint64>(image.width()) * image.height() <= MaxAnimationPixels &&
        previews::openPicture(*file, path, &why)) {
        auto movie = std::make_unique<QMovie>(file.get());
        if (movie->isValid()) {
            m_movieFile = std::move(file);
            m_movie = std::move(movie);
            m_movie->setCacheMode(QMovie::CacheNone);
            m_label->setMovie(m_movie.get());
            m_movie->start();
        }
    }
    updatePicture();
    Q_EMIT pictureShown(m_index);
}

void PreviewViewer::updatePicture()
{
    const QSize natural = m_image.size();
    if (natural.isEmpty())
        return;
    QSize target;
    if (m_zoom <= 0) {
        const QSize room = m_area->viewport()->size() - QSize(2, 2);
        target = natural.width() <= room.width() && natural.height() <= room.height()
                     ? natural
                     : natural.scaled(room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio);
    } else {
        target = QSize(std::max(1, static_cast<int>(std::lround(natural.width() * m_zoom))),
                       std::max(1, static_cast<int>(std::lround(natural.height() * m_zoom))));
    }
    if (m_movie) {
        m_movie->setScaledSize(target);
    } else {
        m_label->setPixmap(QPixmap::fromImage(
            target == natural
                ? m_image
                : m_image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    }
    m_label->resize(target);
}

bool PreviewViewer::scrollsWithKeys() const
{
    const QSize room = m_area->viewport()->size();
    return m_clickedIn && (m_label->width() > room.width() || m_label->height() > room.height());
}

bool PreviewViewer::stepKey(int key)
{
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
        if (scrollsWithKeys())
            return false;
        key == Qt::Key_Left ? showPrevious() : showNext();
        return true;
    case Qt::Key_PageUp:
        showPrevious();
        return true;
    case Qt::Key_PageDown:
    case Qt::Key_Space:
        showNext();
        return true;
    case Qt::Key_Home:
        showIndex(0);
        return true;
    case Qt::Key_End:
        showIndex(static_cast<int>(m_pictures.size()) - 1);
        return true;
    default:
        return false;
    }
}

void PreviewViewer::keyPressEvent(QKeyEvent *event)
{
    if (stepKey(event->key()))
        return;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomBy(ZoomStep);
        return;
    case Qt::Key_Minus:
        zoomBy(1 / ZoomStep);
        return;
    case Qt::Key_0:
        fitToWindow();
        return;
    case Qt::Key_Escape:
        close();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void PreviewViewer::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_zoom <= 0)
        updatePicture();
}

bool PreviewViewer::eventFilter(QObject *watched, QEvent *event)
{
    // The picture's area would take the stepping keys for scrolling: they step here first.
    if (event->type() == QEvent::KeyPress && stepKey(static_cast<QKeyEvent *>(event)->key()))
        return true;
    if (event->type() == QEvent::MouseButtonPress && watched != m_area)
        m_clickedIn = true;
    if (watched == m_area->viewport() && event->type() == QEvent::Wheel) {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        const int delta = wheel->angleDelta().y();
        if (delta != 0)
            zoomBy(delta > 0 ? ZoomStep : 1 / ZoomStep);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// ---- strip ----

PreviewStrip::PreviewStrip(QWidget *parent) : QScrollArea(parent)
{
    setObjectName(QStringLiteral("PreviewStrip"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBar(new ThinBar);
    m_tiles = new QWidget;
    m_tiles->setObjectName(QStringLiteral("PreviewTiles"));
    auto *layout = new QHBoxLayout(m_tiles);
    layout->setContentsMargins(StripMargin, StripMargin, StripMargin, StripMargin);
    layout->setSpacing(TileSpacing);
    layout->addStretch(1);
    setWidget(m_tiles);
    hide();
    connect(&m_loader, &previews::PreviewLoader::pictureReady, this, &PreviewStrip::pictureReady);
}

PreviewStrip::~PreviewStrip() = default;

void PreviewStrip::clear()
{
    m_loader.cancel();
    qDeleteAll(m_buttons);
    m_buttons.clear();
    m_pictures.clear();
    m_finished = m_failed = 0;
    hide();
}

void PreviewStrip::setRoom(QSize room)
{
    if (room != m_room) {
        m_room = room;
        layoutTiles();
    }
}

void PreviewStrip::setHiddenByPlayer(bool hidden)
{
    m_hiddenByPlayer = hidden;
    layoutTiles();
}

void PreviewStrip::wheelEvent(QWheelEvent *event)
{
    // The strip only scrolls sideways: the wheel's turns do that.
    QCoreApplication::sendEvent(horizontalScrollBar(), event);
}

void PreviewStrip::layoutTiles()
{
    const int count = static_cast<int>(m_buttons.size());
    const int chrome = 2 * StripMargin + TilePadding;
    const auto iconWidth = [](int height) {
        return (height * previews::ThumbnailWidth + previews::ThumbnailHeight / 2) /
               previews::ThumbnailHeight;
    };
    int iconHeight = std::min(previews::ThumbnailHeight, m_room.height() - chrome);
    const qint64 lineWidth = qint64(count) * (iconWidth(iconHeight) + TilePadding) +
                             std::max(0, count - 1) * TileSpacing + 2 * StripMargin;
    const bool scrolls = lineWidth > m_room.width();
    if (scrolls)
        iconHeight = std::min(iconHeight, m_room.height() - chrome - ThinScrollBar);
    const bool fits = iconHeight >= MinIconHeight;
    if (fits) {
        const QSize icon(iconWidth(iconHeight), iconHeight);
        for (QToolButton *b : std::as_const(m_buttons)) {
            b->setFixedSize(icon + QSize(TilePadding, TilePadding));
            b->setIconSize(icon);
        }
        setFixedHeight(iconHeight + chrome + (scrolls ? ThinScrollBar : 0));
    }
    setVisible(count > 0 && fits && !m_hiddenByPlayer);
}

void PreviewStrip::showFolder(const QString &folder)
{
    clear();
    m_pictures = previews::pictureFiles(folder);
    if (m_pictures.isEmpty())
        return;
    auto *layout = static_cast<QHBoxLayout *>(m_tiles->layout());
    for (int i = 0; i < m_pictures.size(); ++i) {
        auto *b = new QToolButton(m_tiles);
        b->setObjectName(QStringLiteral("Preview%1").arg(i + 1));
        b->setAutoRaise(true);
        b->setText(QStringLiteral("…"));
        b->setToolTip(QFileInfo(m_pictures[i]).fileName());
        connect(b, &QToolButton::clicked, this, [this, i] { openPicture(i); });
        layout->insertWidget(i, b);
        m_buttons.append(b);
    }
    layoutTiles();
    m_loader.requestThumbnails(m_pictures);
}

void PreviewStrip::pictureReady(quint64, int index, const QImage &image, const QString &error, bool)
{
    if (index < 0 || index >= m_buttons.size())
        return;
    QToolButton *b = m_buttons[index];
    if (image.isNull()) {
        b->setIcon(QIcon());
        b->setText(CannotShow);
        b->setToolTip(QFileInfo(m_pictures[index]).fileName() + QStringLiteral(": ") + error);
        b->setStyleSheet(QStringLiteral("font-size: 8pt; color: #a00000;"));
        b->setProperty("failed", true);
        ++m_failed;
    } else {
        b->setText(QString());
        b->setToolButtonStyle(Qt::ToolButtonIconOnly);
        b->setIcon(QIcon(QPixmap::fromImage(image)));
        b->setProperty("failed", false);
    }
    if (++m_finished == m_buttons.size())
        Q_EMIT allShown();
}

void PreviewStrip::openPicture(int index)
{
    if (index < 0 || index >= m_pictures.size())
        return;
    if (!m_viewer)
        m_viewer = new PreviewViewer(window());
    m_viewer->showPictures(m_pictures, index);
}
