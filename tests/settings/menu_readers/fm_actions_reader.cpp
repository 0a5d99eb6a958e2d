// Prints, one per line, the entries of the context menu that PCManFM-Qt
// (libfm-qt's FileMenu, with its FileManager-Actions) shows for the files named
// on the command line. With "--run NAME" first, it triggers the entry named
// NAME as a click in PCManFM-Qt would, and waits a moment for the launch.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <libfm-qt/core/fileinfojob.h>
#include <libfm-qt/core/filepath.h>
#include <libfm-qt/filemenu.h>
#include <libfm-qt/libfmqt.h>

static void collect(QMenu* menu, QList<QAction*>& out) {
    for (QAction* action : menu->actions()) {
        if (action->menu()) {
            collect(action->menu(), out);
        } else if (!action->isSeparator()) {
            out << action;
        }
    }
}

int main(int argc, char** argv) {
    int first = 1;
    const char* run = nullptr;
    if (argc > 2 && std::strcmp(argv[1], "--run") == 0) {
        run = argv[2];
        first = 3;
    }
    Fm::FilePathList paths;
    for (int i = first; i < argc; ++i) {
        paths.push_back(Fm::FilePath::fromLocalPath(argv[i]));
    }
    if (paths.empty()) {
        return 2;
    }
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    Fm::LibFmQt context;

    Fm::FileInfoJob job(paths);
    job.run();
    Fm::FileInfoList files = job.files();
    if (files.size() != paths.size()) {
        std::fprintf(stderr, "could not read every file\n");
        return 2;
    }
    Fm::FileMenu menu(files, files.front(), paths.front().parent());
    QList<QAction*> found;
    collect(&menu, found);
    QAction* chosen = nullptr;
    for (QAction* action : found) {
        QString text = action->text().remove('&');
        std::printf("%s\n", text.toUtf8().constData());
        if (run && text == QString::fromUtf8(run)) {
            chosen = action;
        }
    }
    std::fflush(stdout);
    if (!run) {
        return 0;
    }
    if (!chosen) {
        return 3;
    }
    chosen->trigger();
    QTimer::singleShot(1000, &app, &QApplication::quit);
    app.exec();
    return 0;
}
