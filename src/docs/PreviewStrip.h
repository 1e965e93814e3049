#pragma once

#include "docs/PreviewPictures.h"

#include <QImage>
#include <QScrollArea>
#include <QStringList>
#include <QWidget>

#include <memory>

class QLabel;
class QMovie;
class QToolButton;

/// A window that shows an option's preview pictures at full size, one at a time: fitted to
/// the window at first, zoomed with the wheel or the buttons, closed with Esc. Left/Right,
/// Page Up/Page Down, Home/End and the buttons step through the pictures wherever the focus is
/// inside the window; only a picture zoomed past the window's size that the player clicked
/// into scrolls with the arrow keys instead. Pictures are decoded off the GUI thread; an
/// animated one plays.
class PreviewViewer final : public QWidget
{
    Q_OBJECT

public:
    explicit PreviewViewer(QWidget *parent = nullptr);
    ~PreviewViewer() override;

    /// Shows picture @p index of @p pictures (local paths) and raises the window.
    void showPictures(const QStringList &pictures, int index);
    void showNext();
    void showPrevious();
    /// Shows picture @p index, when there is one.
    void showIndex(int index);
    void zoomBy(double factor);
    /// Back to fitting the picture to the window.
    void fitToWindow();

    int currentIndex() const { return m_index; }
    QStringList pictures() const { return m_pictures; }
    /// The shown picture, once decoded; null while it loads or when it cannot be shown.
    QImage picture() const { return m_image; }
    bool isPlaying() const { return m_movie != nullptr; }
    /// 0 when fitted to the window.
    double zoom() const { return m_zoom; }

Q_SIGNALS:
    /// The current picture was decoded (or found damaged).
    void pictureShown(int index);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void load();
    void pictureReady(quint64 request, int index, const QImage &image, const QString &error,
                      bool animated);
    void updatePicture();
    void stopMovie();
    /// Acts on a key that steps through the pictures; false for other keys, and for the arrow
    /// keys while the picture scrolls with them.
    bool stepKey(int key);
    /// Whether the arrow keys scroll the picture: it is larger than its area and the player
    /// clicked into it since it was shown.
    bool scrollsWithKeys() const;

    previews::PreviewLoader m_loader;
    QStringList m_pictures;
    int m_index = -1;
    bool m_clickedIn = false;
    QImage m_image;
    double m_zoom = 0;                  // 0 = fit to window
    std::unique_ptr<QFile> m_movieFile; // declared first: the movie reads from it
    std::unique_ptr<QMovie> m_movie;
    QScrollArea *m_area = nullptr;
    QLabel *m_label = nullptr;
    QToolButton *m_previous = nullptr;
    QToolButton *m_next = nullptr;
    QToolButton *m_zoomIn = nullptr;
    QToolButton *m_zoomOut = nullptr;
    QToolButton *m_fit = nullptr;
    QLabel *m_caption = nullptr;
};

/// The line of thumbnails above an option's ReadMe: one tile per preview picture of the
/// option's folder, hidden when the folder has none or the player hid it. Its height is kept
/// within the room it is given (setRoom): thumbnails scale down to that, but not below
/// MinIconHeight, where the strip is left out; tiles that do not fit the width scroll
/// sideways (with a thin scroll bar, or the wheel). Thumbnails come from a decoder thread; a
/// picture that cannot be shown gets a small "cannot show this picture" tile. A click on a
/// thumbnail opens the picture in the viewer.
class PreviewStrip final : public QScrollArea
{
    Q_OBJECT

public:
    explicit PreviewStrip(QWidget *parent = nullptr);
    ~PreviewStrip() override;

    /// Shows the pictures of @p folder (a local path); hides the strip when it has none.
    void showFolder(const QString &folder);
    /// Hides the strip and forgets its pictures; thumbnails still decoding are not shown.
    void clear();
    /// The width the strip gets and the most height it may take; it is left out when that
    /// is too little for thumbnails of MinIconHeight.
    void setRoom(QSize room);
    /// Hides (or shows again) the strip whatever the option holds, as the player chose.
    void setHiddenByPlayer(bool hidden);
    bool hiddenByPlayer() const { return m_hiddenByPlayer; }

    /// Thumbnails are not made smaller than this: below it they are hard to tell apart.
    static constexpr int MinIconHeight = 24;

    QStringList pictures() const { return m_pictures; }
    /// Tiles whose thumbnail or error is in place.
    int finishedCount() const { return m_finished; }
    /// Tiles that say the picture cannot be shown.
    int failedCount() const { return m_failed; }
    /// The viewer, once a thumbnail was clicked (or openPicture called).
    PreviewViewer *viewer() const { return m_viewer; }
    /// Opens picture @p index in the viewer, as a click on its thumbnail does.
    void openPicture(int index);
    previews::PreviewLoader &loader() { return m_loader; }

Q_SIGNALS:
    /// Every tile of the folder shown last has its thumbnail or error.
    void allShown();

private:
    void pictureReady(quint64 request, int index, const QImage &image, const QString &error,
                      bool animated);
    /// Sizes the tiles and the strip to the room and the width, and shows or hides the strip.
    void layoutTiles();
    void wheelEvent(QWheelEvent *event) override;

    previews::PreviewLoader m_loader;
    QSize m_room{QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    bool m_hiddenByPlayer = false;
    QWidget *m_tiles = nullptr;
    QList<QToolButton *> m_buttons;
    QStringList m_pictures;
    int m_finished = 0;
    int m_failed = 0;
    PreviewViewer *m_viewer = nullptr;
};
