// Stand-in for the real program, shaped like it, used to prove the e2e driver:
// a main dialog with buttons and a log box, a modal port dialog, and a button that
// starts a new process of itself (argv = [path, numbers...]).
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

void appendLine(QPlainTextEdit* log, const QString& line) {
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QStringLiteral("\r\n") + line);
}

// Returns the entered number, or -1 when cancelled.
int askPort(QWidget* parent) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Dialog"));
    auto* label = new QLabel(QStringLiteral("ポート番号"), &dialog);
    auto* edit = new QLineEdit(QStringLiteral("10000"), &dialog);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    auto* cancel = new QPushButton(QStringLiteral("キャンセル"), &dialog);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(label);
    layout->addWidget(edit);
    layout->addLayout(buttons);
    if (dialog.exec() != QDialog::Accepted) return -1;
    return edit->text().toInt();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog main;
    main.setWindowTitle(QStringLiteral("Velmora"));
    auto* ok = new QPushButton(QStringLiteral("OK"), &main);
    auto* listen = new QPushButton(QStringLiteral("Port Listen"), &main);
    auto* spawn = new QPushButton(QStringLiteral("ソケット複製"), &main);
    auto* bulk = new QPushButton(QStringLiteral("Bulk"), &main);
    auto* log = new QPlainTextEdit(&main);
    log->setReadOnly(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(listen);
    buttons->addWidget(spawn);
    buttons->addWidget(bulk);
    auto* layout = new QVBoxLayout(&main);
    layout->addLayout(buttons);
    layout->addWidget(log);
    main.resize(640, 400);

    QStringList args = app.arguments().mid(1);
    appendLine(log, QStringLiteral("args: ") + args.join(QLatin1Char(' ')));

    QObject::connect(ok, &QPushButton::clicked, &main, &QDialog::accept);
    QObject::connect(listen, &QPushButton::clicked, &main, [&] {
        const int port = askPort(&main);
        appendLine(log, port < 0 ? QStringLiteral("listen cancelled")
                                 : QStringLiteral("listen %1").arg(port));
    });
    QObject::connect(spawn, &QPushButton::clicked, &main, [&] {
        // Attached (not detached) so the new process's parent pid is this process.
        auto* child = new QProcess(&main);
        child->setProcessChannelMode(QProcess::ForwardedChannels);
        child->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("7"), QStringLiteral("8")});
        appendLine(log, child->waitForStarted()
                            ? QStringLiteral("spawned %1").arg(child->processId())
                            : QStringLiteral("spawn failed"));
    });
    // Appends many lines at once, to measure reading a large log box.
    QObject::connect(bulk, &QPushButton::clicked, &main, [&] {
        QString text;
        for (int i = 0; i < 20000; ++i)
            text += QStringLiteral("\r\nbulk line %1 0123456789abcdef").arg(i);
        QTextCursor cursor(log->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
        appendLine(log, QStringLiteral("bulk done"));
    });

    main.show();
    const int code = main.exec() == QDialog::Accepted ? 0 : 1;
    return code;
}
