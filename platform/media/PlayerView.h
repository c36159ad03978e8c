#pragma once

#include <QList>
#include <QWidget>

#include <chrono>
#include <memory>
#include <optional>

class Player;
class QTimer;
struct mpv_render_context;

// Shows the frames of a Player in the main window; black when it has none. Use on the main
// thread only.
class PlayerView : public QWidget {
    Q_OBJECT

public:
    enum class Renderer { Software, OpenGL };

    // The right view for this machine: OpenGL (with hardware decoding) where a hardware OpenGL
    // driver answers, software rendering elsewhere (no GPU, Mesa's software renderer, Qt's
    // offscreen platform). The driver is asked by the bundle's probe in a child process, so
    // that it is never loaded here for a view that renders in software.
    // VORNPLAYER_RENDER=software|opengl overrides the choice.
    static PlayerView* create(QWidget* parent = nullptr);
    static Renderer chooseRenderer();
    // Starts the OpenGL probe now, in a child process, for chooseRenderer() to take its answer
    // later: the probe runs while the program starts. Main thread, once the application exists.
    static void startRendererProbe();

    explicit PlayerView(QWidget* parent = nullptr) : QWidget(parent) {}
    ~PlayerView() override = default;

    virtual Renderer renderer() const = 0;
    // Shows this player from now on; the earlier one is let go.
    virtual void setPlayer(std::shared_ptr<Player> player) = 0;
    std::shared_ptr<Player> player() const { return player_; }
    // When the view last showed a new frame; none before the first (and without video output).
    std::optional<std::chrono::steady_clock::time_point> lastFrameTime() const { return lastFrame_; }

protected:
    void frameShown() { lastFrame_ = std::chrono::steady_clock::now(); }
    // Lets go of the player shown until now and of its render context. Freeing the context waits
    // for mpv's core, which may wait on a share that does not answer: a player that hangs is kept,
    // with its context, until mpv has let go of its file, and freed then.
    void letGoOfPlayer(mpv_render_context*& context);
    // Frees a render context as the view made it (the OpenGL one with its context current).
    virtual void freeRenderContext(mpv_render_context* context) = 0;
    // The players kept until mpv lets go of them; at quit, those still hanging are left to the
    // end of the process. Each view's destructor calls it.
    void endRetiredPlayers(bool quitting);

    std::shared_ptr<Player> player_;
    std::optional<std::chrono::steady_clock::time_point> lastFrame_;

private:
    struct Retired {
        std::shared_ptr<Player> player;
        mpv_render_context* context = nullptr;
    };
    QList<Retired> retired_;
    QTimer* reaper_ = nullptr;
};
