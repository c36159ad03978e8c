// A plain window titled "cover" that covers the screen, for stacking-order tests under X.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget cover;
    cover.setWindowTitle("cover");
    cover.setGeometry(0, 0, 1280, 720);
    cover.show();
    QTimer::singleShot(300, [] {
        std::printf("shown\n");
        std::fflush(stdout);
    });
    QTimer::singleShot(argc > 1 ? std::atoi(argv[1]) : 20000, &app, &QCoreApplication::quit);
    return app.exec();
}
