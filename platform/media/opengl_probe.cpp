// Prints the name of the OpenGL renderer of this display and ends. The player runs it as a
// child before it chooses its video view, so that the OpenGL driver (Mesa, LLVM) is loaded only
// here, never in a player that renders in software. Exit status 1: no OpenGL context.
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QOpenGLContext context;
    QOffscreenSurface surface;
    surface.create();
    if (!context.create() || !context.makeCurrent(&surface)) return 1;
    const auto* renderer = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    std::printf("%s\n", renderer ? renderer : "");
    context.doneCurrent();
    return 0;
}
