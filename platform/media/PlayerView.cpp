#include "platform/media/PlayerView.h"

#include "platform/media/Player.h"
#include "platform/media/PlayerCore.h"
#include "platform/media/PlayerViewRenderers.h"
#include "platform/core/Bundle.h"
#include "platform/core/SystemLog.h"
#include "platform/core/ThreadContract.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QTimer>

#include <memory>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include <mpv/client.h>
#include <mpv/render.h>
#include <mpv/render_gl.h>

namespace {

// The probe starts a QGuiApplication and an OpenGL context: a fraction of a second, unless the
// display or its driver hangs.
constexpr int kOpenGLProbeMilliseconds = 5000;

// How far from 1:1 a video may be to be shown unscaled in the software view.
constexpr double kNearOneToOne = 0.04;

// mpv calls this on its render thread: only ask for a repaint on the main thread.
void requestRepaint(void* widget) {
    QMetaObject::invokeMethod(static_cast<QWidget*>(widget), "update", Qt::QueuedConnection);
}

bool isSoftwareRenderer(const QByteArray& renderer) {
    const QByteArray r = renderer.toLower();
    return r.isEmpty() || r.contains("llvmpipe") || r.contains("softpipe") || r.contains("software") ||
           r.contains("swrast") || r.contains("swr");
}

// mpv's name for the layout of the colours in a QImage format of four bytes a pixel; null for
// the other formats. mpv leaves the fourth byte zero: asked for an alpha byte as well, it makes
// and packs a fourth plane, which costs more than a tenth more per frame.
const char* mpvFormat(QImage::Format format) {
    const bool little = QSysInfo::ByteOrder == QSysInfo::LittleEndian;
    switch (format) {
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32:
        case QImage::Format_ARGB32_Premultiplied: return little ? "bgr0" : "0rgb";
        case QImage::Format_RGBX8888:
        case QImage::Format_RGBA8888:
        case QImage::Format_RGBA8888_Premultiplied: return "rgb0";
        default: return nullptr;
    }
}

// The format of the screen's own images (a pixmap's), or one mpv can render into.
QImage::Format nativeImageFormat() {
    static const QImage::Format native = [] {
        const QImage::Format format = QPixmap(1, 1).toImage().format();
        return mpvFormat(format) ? format : QImage::Format_RGB32;
    }();
    return native;
}

// The OpenGL driver's name for its renderer, asked in this process: the driver (Mesa with LLVM,
// some 50 MiB) then stays loaded for good. Empty without a context.
QByteArray openGLRendererHere() {
    QOpenGLContext context;
    QOffscreenSurface surface;
    surface.create();
    if (!context.create() || !context.makeCurrent(&surface)) return QByteArray();
    const QByteArray renderer = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    context.doneCurrent();
    return renderer;
}

// The same, asked by the bundle's probe in a child process, which takes the driver with it when
// it ends. None without the probe; empty (software) when it finds no context, fails or hangs.
// The probe started at start-up (startRendererProbe), waiting to be asked; main thread only.
std::unique_ptr<QProcess>& earlyProbe() {
    static std::unique_ptr<QProcess> probe;
    return probe;
}

std::unique_ptr<QProcess> startProbe(const QString& platform) {
    const QString probe = Bundle::mainBundle().pathForAuxiliaryExecutable(QStringLiteral("vornplayer-opengl-probe"));
    if (probe.isNull()) return nullptr;
    auto child = std::make_unique<QProcess>();
    child->setProcessChannelMode(QProcess::SeparateChannels);
    child->setStandardErrorFile(QProcess::nullDevice());
    child->setProperty("platform", platform);
    child->start(probe, {QStringLiteral("-platform"), platform});
    return child;
}

std::optional<QByteArray> openGLRendererOfChild(const QString& platform) {
    std::unique_ptr<QProcess> started = std::move(earlyProbe());
    if (started && started->property("platform").toString() != platform) started.reset();
    if (!started) started = startProbe(platform);
    if (!started) return std::nullopt;
    QProcess& child = *started;
    if (!child.waitForFinished(kOpenGLProbeMilliseconds)) {
        systemLog(QStringLiteral("OpenGL probe did not answer within %1 ms: rendering in software")
                      .arg(kOpenGLProbeMilliseconds));
        child.kill();
        child.waitForFinished(1000);
        return QByteArray();
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) return QByteArray();
    return child.readAllStandardOutput().trimmed();
}

}  // namespace

void PlayerView::startRendererProbe() {
    if (!qgetenv("VORNPLAYER_RENDER").isEmpty() || earlyProbe()) return;
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb") && platform != QLatin1String("wayland")) return;
    earlyProbe() = startProbe(platform);
}

PlayerView::Renderer PlayerView::chooseRenderer() {
    const QByteArray forced = qgetenv("VORNPLAYER_RENDER");
    if (forced == "software") return Renderer::Software;
    if (forced == "opengl") return Renderer::OpenGL;
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb") && platform != QLatin1String("wayland")) return Renderer::Software;
    // Asked here only where the probe is not there to ask.
    const std::optional<QByteArray> ofChild = openGLRendererOfChild(platform);
    const QByteArray renderer = ofChild ? *ofChild : openGLRendererHere();
    const bool software = isSoftwareRenderer(renderer);
    systemLog(QStringLiteral("Video view: the OpenGL renderer is \"%1\": %2")
                  .arg(QString::fromUtf8(renderer),
                       software ? QStringLiteral("rendering in software") : QStringLiteral("rendering with OpenGL")));
    return software ? Renderer::Software : Renderer::OpenGL;
}

PlayerView* PlayerView::create(QWidget* parent) {
    if (chooseRenderer() == Renderer::OpenGL) return new OpenGLPlayerView(parent);
    return new SoftwarePlayerView(parent);
}

// ---- the players let go of

void PlayerView::letGoOfPlayer(mpv_render_context*& context) {
    if (!context) return;
    mpv_render_context* old = std::exchange(context, nullptr);
    PlayerCore* core = player_ ? &PlayerCoreAccess::core(*player_) : nullptr;
    if (!core || !core->isHung()) {
        freeRenderContext(old);  // no update callback runs after this returns
        if (core) core->setRenderContextReady(false);
        return;
    }
    mpv_render_context_set_update_callback(old, nullptr, nullptr);
    core->setRenderContextReady(false);
    core->retire();
    retired_.append(Retired{player_, old});
    if (!reaper_) {
        reaper_ = new QTimer(this);
        reaper_->setInterval(250);
        connect(reaper_, &QTimer::timeout, this, [this] { endRetiredPlayers(false); });
    }
    reaper_->start();
}

void PlayerView::endRetiredPlayers(bool quitting) {
    for (qsizetype i = retired_.size() - 1; i >= 0; --i) {
        Retired& retired = retired_[i];
        if (PlayerCoreAccess::core(*retired.player).retired()) {
            freeRenderContext(retired.context);
            Player::release(std::move(retired.player));
            systemLog(QStringLiteral("A player that hung on its share was let go: the share let go of its file"));
        } else if (quitting) {
            // mpv still waits on the share: neither its context nor mpv itself can end without
            // waiting too. Both stay as they are until the process ends.
            new std::shared_ptr<Player>(std::move(retired.player));
        } else {
            continue;
        }
        retired_.removeAt(i);
    }
    if (reaper_ && retired_.isEmpty()) reaper_->stop();
}

// ---- software

SoftwarePlayerView::SoftwarePlayerView(QWidget* parent) : PlayerView(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

SoftwarePlayerView::~SoftwarePlayerView() {
    letGoOfPlayer(context_);
    endRetiredPlayers(true);
}

void SoftwarePlayerView::freeRenderContext(mpv_render_context* context) { mpv_render_context_free(context); }

void SoftwarePlayerView::setPlayer(std::shared_ptr<Player> player) {
    VORN_ASSERT_MAIN_THREAD();
    letGoOfPlayer(context_);
    player_ = std::move(player);
    playerShowedAFrame_ = false;
    frame_ = QImage();
    unscaled_.reset();
    update();
    if (!player_ || !Player::rendersIntoView() || !PlayerCoreAccess::core(*player_).mpvHandle()) return;
    mpv_handle* mpv = PlayerCoreAccess::core(*player_).mpvHandle();
    // Every frame is converted, and scaled where the view is not the video's size, on the CPU.
    // libswscale's fast paths take a fraction of the time of mpv's default (zimg, Lanczos,
    // dithered): a 1080p frame in about half a millisecond instead of three and a half.
    const std::pair<const char*, const char*> conversion[] = {
        {"sws-allow-zimg", "no"}, {"sws-fast", "yes"}, {"sws-scaler", "bilinear"}};
    for (const auto& [name, value] : conversion) {
        const int set = mpv_set_property_string(mpv, name, value);
        if (set < 0) {
            systemLog(QStringLiteral("mpv: cannot set %1: %2")
                          .arg(QString::fromLatin1(name), QString::fromLatin1(mpv_error_string(set))));
        }
    }
    const char* api = MPV_RENDER_API_TYPE_SW;
    mpv_render_param params[] = {{MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(api)},
                                 {MPV_RENDER_PARAM_INVALID, nullptr}};
    const int r = mpv_render_context_create(&context_, mpv, params);
    if (r < 0) {
        systemLog(QStringLiteral("mpv: no software render context: %1").arg(mpv_error_string(r)));
        context_ = nullptr;
        return;
    }
    mpv_render_context_set_update_callback(context_, requestRepaint, this);
    PlayerCoreAccess::core(*player_).setRenderContextReady(true);
}

void SoftwarePlayerView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (!context_) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    // Rendering here, in the paint, rather than in mpv's callback keeps every frame.
    const bool newFrame = mpv_render_context_update(context_) & MPV_RENDER_UPDATE_FRAME;
    // A new player has nothing to show before its first frame: the picture of the one before stays
    // on the screen until then, rather than a black one (its window keeps the pixels painted last).
    if (!newFrame && !playerShowedAFrame_ && lastFrameTime()) return;
    playerShowedAFrame_ = playerShowedAFrame_ || newFrame;
    QPaintDevice* device = painter.paintEngine() ? painter.paintEngine()->paintDevice() : nullptr;
    if (!renderIntoDevice(painter, device, event->region())) renderThroughImage(painter, device);
    if (newFrame) frameShown();
}

bool SoftwarePlayerView::render(uchar* pixels, QSize size, qsizetype stride, const char* format) {
    int wh[2] = {size.width(), size.height()};
    size_t bytesPerLine = static_cast<size_t>(stride);
    mpv_render_param params[] = {{MPV_RENDER_PARAM_SW_SIZE, wh},
                                 {MPV_RENDER_PARAM_SW_FORMAT, const_cast<char*>(format)},
                                 {MPV_RENDER_PARAM_SW_STRIDE, &bytesPerLine},
                                 {MPV_RENDER_PARAM_SW_POINTER, pixels},
                                 {MPV_RENDER_PARAM_INVALID, nullptr}};
    return mpv_render_context_render(context_, params) >= 0;
}

// The alpha of the device's pixels is seen unless it has none or it is the backing store of an
// opaque window, whose pixels the screen takes for colours only.
bool SoftwarePlayerView::alphaIsSeen(const QPaintDevice* device) const {
    if (device && device->devType() == QInternal::Image &&
        !static_cast<const QImage*>(device)->hasAlphaChannel()) {
        return false;
    }
    QBackingStore* store = backingStore();
    return !store || store->paintDevice() != device || window()->testAttribute(Qt::WA_TranslucentBackground);
}

// mpv writes the frame, letterboxed, straight into the window's backing store: no copy of it is
// made on our side. Only where that is safe: the view covers whole rows of the image (mpv may
// write the padding between rows), it lies inside the image, this paint covers all of the view
// (whatever lies over the view, the status light, is then painted after it), and the alpha that
// mpv leaves zero is not seen.
bool SoftwarePlayerView::renderIntoDevice(QPainter& painter, QPaintDevice* device, const QRegion& region) {
    if (!device || device->devType() != QInternal::Image) return false;
    auto* image = static_cast<QImage*>(device);
    const char* format = mpvFormat(image->format());
    // A shared image would be copied by bits(), away from the pixels the painter draws on.
    if (!format || !image->isDetached() || !(QRegion(rect()) - region).isEmpty() || alphaIsSeen(device)) return false;
    const QTransform& toDevice = painter.deviceTransform();
    if (toDevice.type() > QTransform::TxScale) return false;
    const QRectF exact = toDevice.mapRect(QRectF(rect()));
    const QRect target = exact.toRect();
    if (QRectF(target) != exact || target.left() != 0 || target.width() != image->width() || target.top() < 0 ||
        target.bottom() >= image->height() || target.isEmpty()) {
        return false;
    }
    fitVideo(target.size());
    const qsizetype stride = image->bytesPerLine();
    uchar* top = image->bits() + target.top() * stride;
    const int rowsOut = rowsToLeaveOut(target.height());
    uchar* first = top + rowsOut * stride;
    const int height = target.height() - rowsOut;
    const int leftOut = columnsToLeaveOut(target.width(), stride);
    const int width = target.width() - leftOut;
    if (!render(first, QSize(width, height), stride, format)) return false;
    for (int y = 0; y < rowsOut; ++y) std::memset(top + y * stride, 0, target.width() * 4);
    for (int y = 0; y < height; ++y) std::memset(first + y * stride + width * 4, 0, leftOut * 4);
    return true;
}

// A video shown at 1:1 and cropped by an odd number of rows would have its colour planes cut
// between two rows: mpv then crops one row more and scales the rest, the very work 1:1 saves.
// It is given one row less instead (painted black at the top).
int SoftwarePlayerView::rowsToLeaveOut(int height) const {
    if (unscaled_ != true || !player_) return 0;
    const std::optional<std::pair<int, int>> video = PlayerCoreAccess::core(*player_).videoSize();
    return video && video->second > height && (video->second - height) % 2 != 0 ? 1 : 0;
}

// libswscale writes straight into the target only where the video's first pixel lies on 32 bytes;
// elsewhere mpv converts into an image of its own and copies that over, which costs about a
// quarter more. mpv centres the video in the width it is given, so it is given up to 15 columns
// less on the right (painted black here), which puts the video's left edge on a multiple of 8
// pixels. The video's width is the one of the last frame.
int SoftwarePlayerView::columnsToLeaveOut(int width, qsizetype stride) const {
    if (stride % 32 != 0 || !player_) return 0;
    const auto placement = PlayerCoreAccess::core(*player_).videoPlacement();
    if (!placement || (placement->left == 0 && placement->right == 0)) return 0;
    const int spare = width - (placement->width - placement->left - placement->right);
    return spare > 0 ? spare % 16 : 0;
}

// A video within a few hundredths of the view's size is shown at 1:1, cropped or bordered by
// those few rows or columns, rather than scaled: scaling costs about half again as much CPU as
// the conversion alone (a 1080p video under the menu bar, which takes 19 of the screen's rows).
// Cropped rows go at the top, where a menu bar laid over a picture of the whole screen would
// cover them. mpv takes the change with the next frame.
void SoftwarePlayerView::fitVideo(QSize target) {
    if (!player_ || target.isEmpty()) return;
    PlayerCore& core = PlayerCoreAccess::core(*player_);
    const std::optional<std::pair<int, int>> video = core.videoSize();
    if (!video) return;
    const double scale = std::min(double(target.width()) / video->first, double(target.height()) / video->second);
    const bool unscaled = std::abs(scale - 1.0) <= kNearOneToOne;
    if (unscaled_ == unscaled || !core.mpvHandle()) return;
    unscaled_ = unscaled;
    const char* value = unscaled ? "yes" : "no";
    double alignY = unscaled ? 1.0 : 0.0;
    mpv_set_property_async(core.mpvHandle(), 0, "video-align-y", MPV_FORMAT_DOUBLE, &alignY);
    mpv_set_property_async(core.mpvHandle(), 0, "video-unscaled", MPV_FORMAT_STRING, &value);
}

// Elsewhere (a paint of part of the view, a view beside other widgets, a paint device that is
// no image), mpv renders into an image of the view's size in pixels and the format of the paint
// device (or of the screen), which is copied as it is: no conversion, no scaling. Where alpha is
// seen (a grab of a widget that is not opaque), the image is made opaque on the way.
void SoftwarePlayerView::renderThroughImage(QPainter& painter, QPaintDevice* device) {
    const qreal ratio = devicePixelRatioF();
    const QSize size = (QSizeF(this->size()) * ratio).toSize();
    const bool alphaSeen = alphaIsSeen(device);
    QImage::Format wanted = alphaSeen ? QImage::Format_RGB32 : nativeImageFormat();
    if (!alphaSeen && device && device->devType() == QInternal::Image &&
        mpvFormat(static_cast<QImage*>(device)->format())) {
        wanted = static_cast<QImage*>(device)->format();
    }
    if (frame_.size() != size || frame_.format() != wanted) frame_ = QImage(size, wanted);
    fitVideo(size);
    if (!render(frame_.bits(), size, frame_.bytesPerLine(), mpvFormat(wanted))) frame_.fill(Qt::black);
    frame_.setDevicePixelRatio(ratio);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    // Converted from RGB32, every pixel gets an alpha of 255.
    painter.drawImage(QPoint(0, 0), alphaSeen ? frame_.convertToFormat(QImage::Format_ARGB32_Premultiplied) : frame_);
}

// ---- OpenGL

class OpenGLPlayerView::Surface final : public QOpenGLWidget {
public:
    explicit Surface(QWidget* parent) : QOpenGLWidget(parent) {}
    std::function<void()> onInitialized;
    std::function<void()> onFrame;
    mpv_render_context* render = nullptr;

protected:
    void initializeGL() override {
        if (onInitialized) onInitialized();
    }
    void paintGL() override {
        if (!render) {
            context_functions()->glClearColor(0, 0, 0, 1);
            context_functions()->glClear(GL_COLOR_BUFFER_BIT);
            return;
        }
        const bool newFrame = mpv_render_context_update(render) & MPV_RENDER_UPDATE_FRAME;
        const qreal ratio = devicePixelRatioF();
        mpv_opengl_fbo fbo{static_cast<int>(defaultFramebufferObject()), static_cast<int>(width() * ratio),
                           static_cast<int>(height() * ratio), 0};
        int flip = 1;
        mpv_render_param params[] = {{MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
                                     {MPV_RENDER_PARAM_FLIP_Y, &flip},
                                     {MPV_RENDER_PARAM_INVALID, nullptr}};
        mpv_render_context_render(render, params);
        if (newFrame && onFrame) onFrame();
    }

private:
    QOpenGLFunctions* context_functions() { return QOpenGLContext::currentContext()->functions(); }
};

OpenGLPlayerView::OpenGLPlayerView(QWidget* parent) : PlayerView(parent), surface_(new Surface(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(surface_);
    surface_->onInitialized = [this] { makeContext(); };
    surface_->onFrame = [this] { frameShown(); };
}

OpenGLPlayerView::~OpenGLPlayerView() {
    surface_->render = nullptr;
    letGoOfPlayer(context_);
    endRetiredPlayers(true);
}

// The render context goes with its OpenGL context current, before the player may end.
void OpenGLPlayerView::freeRenderContext(mpv_render_context* context) {
    surface_->makeCurrent();
    mpv_render_context_free(context);
    surface_->doneCurrent();
}

void OpenGLPlayerView::setPlayer(std::shared_ptr<Player> player) {
    VORN_ASSERT_MAIN_THREAD();
    surface_->render = nullptr;
    letGoOfPlayer(context_);
    player_ = std::move(player);
    // Without a GL context yet, initializeGL makes the render context.
    if (surface_->context() != nullptr && surface_->isValid()) makeContext();
    surface_->update();
}

void OpenGLPlayerView::makeContext() {
    if (context_ || !player_ || !Player::rendersIntoView() || !PlayerCoreAccess::core(*player_).mpvHandle()) return;
    mpv_handle* mpv = PlayerCoreAccess::core(*player_).mpvHandle();
    mpv_set_property_string(mpv, "hwdec", "auto-safe");
    surface_->makeCurrent();
    mpv_opengl_init_params gl{[](void*, const char* name) -> void* {
                                  QOpenGLContext* current = QOpenGLContext::currentContext();
                                  return current ? reinterpret_cast<void*>(current->getProcAddress(name)) : nullptr;
                              },
                              nullptr};
    const char* api = MPV_RENDER_API_TYPE_OPENGL;
    mpv_render_param params[] = {{MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(api)},
                                 {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &gl},
                                 {MPV_RENDER_PARAM_INVALID, nullptr}};
    const int r = mpv_render_context_create(&context_, mpv, params);
    surface_->doneCurrent();
    if (r < 0) {
        systemLog(QStringLiteral("mpv: no OpenGL render context: %1").arg(mpv_error_string(r)));
        context_ = nullptr;
        return;
    }
    surface_->render = context_;
    mpv_render_context_set_update_callback(context_, requestRepaint, surface_);
    PlayerCoreAccess::core(*player_).setRenderContextReady(true);
}
