#pragma once

// The two ways a PlayerView draws mpv's frames.
#include "platform/media/PlayerView.h"

#include <QImage>
#include <QOpenGLWidget>

#include <optional>

class QPaintDevice;
class QPainter;
class QRegion;
struct mpv_render_context;

// mpv renders each frame in software in paintEvent, into the window's backing store where it
// can, else into an image that is copied there unchanged.
class SoftwarePlayerView final : public PlayerView {
public:
    explicit SoftwarePlayerView(QWidget* parent = nullptr);
    ~SoftwarePlayerView() override;
    Renderer renderer() const override { return Renderer::Software; }
    void setPlayer(std::shared_ptr<Player> player) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void freeRenderContext(mpv_render_context* context) override;

private:
    bool render(uchar* pixels, QSize size, qsizetype stride, const char* format);
    bool alphaIsSeen(const QPaintDevice* device) const;
    bool renderIntoDevice(QPainter& painter, QPaintDevice* device, const QRegion& region);
    int columnsToLeaveOut(int width, qsizetype stride) const;
    void fitVideo(QSize target);
    int rowsToLeaveOut(int height) const;
    void renderThroughImage(QPainter& painter, QPaintDevice* device);
    mpv_render_context* context_ = nullptr;
    QImage frame_;  // only where mpv cannot render into the paint device itself
    std::optional<bool> unscaled_;  // what mpv was last told for this player
    bool playerShowedAFrame_ = false;
};

// mpv renders with OpenGL into the widget's framebuffer; decoding may use the hardware.
class OpenGLPlayerView final : public PlayerView {
public:
    explicit OpenGLPlayerView(QWidget* parent = nullptr);
    ~OpenGLPlayerView() override;
    Renderer renderer() const override { return Renderer::OpenGL; }
    void setPlayer(std::shared_ptr<Player> player) override;

protected:
    void freeRenderContext(mpv_render_context* context) override;

private:
    class Surface;
    void makeContext();
    Surface* surface_;
    mpv_render_context* context_ = nullptr;
};
