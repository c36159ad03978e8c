#pragma once

#include <QWidget>

#include <memory>

class Player;

// Shows the frames of a Player in the main window; black when it has none. Use on the main
// thread only.
class PlayerView : public QWidget {
    Q_OBJECT

public:
    enum class Renderer { Software, OpenGL };

    // The right view for this machine: OpenGL (with hardware decoding) where a hardware OpenGL
    // driver answers, software rendering elsewhere (no GPU, Mesa's software renderer, Qt's
    // offscreen platform). VORNPLAYER_RENDER=software|opengl overrides the choice.
    static PlayerView* create(QWidget* parent = nullptr);
    static Renderer chooseRenderer();

    explicit PlayerView(QWidget* parent = nullptr) : QWidget(parent) {}
    ~PlayerView() override = default;

    virtual Renderer renderer() const = 0;
    // Shows this player from now on; the earlier one is let go.
    virtual void setPlayer(std::shared_ptr<Player> player) = 0;
    std::shared_ptr<Player> player() const { return player_; }

protected:
    std::shared_ptr<Player> player_;
};
