// Prints, one per line, the service-menu actions that KDE's file managers
// (Dolphin, Konqueror) offer for the files named on the command line, as KIO's
// KFileItemActions builds them. With "--run NAME" first, it triggers the action
// named NAME as a click in Dolphin would, and waits a moment for the launch.
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstring>

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
    // The names are kept as bytes before Qt sees the command line.
    QList<QByteArray> names;
    for (int i = first; i < argc; ++i) {
        names << QByteArray(argv[i]);
    }
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    KFileItemList items;
    for (const QByteArray& name : names) {
        items << KFileItem(QUrl::fromLocalFile(QFile::decodeName(name)));
    }
    KFileItemActions actions;
    actions.setItemListProperties(KFileItemListProperties(items));
    QMenu menu;
    actions.addActionsTo(&menu, KFileItemActions::MenuActionSource::Services);
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
    QTimer::singleShot(3000, &app, &QApplication::quit);
    app.exec();
    return 0;
}
