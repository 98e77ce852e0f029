// The demo build of the product app: one window with its name and version, running until closed.
#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral(QUORVANE_DEMO_NAME));
    auto* layout = new QVBoxLayout(&window);
    auto* name = new QLabel(QStringLiteral(QUORVANE_DEMO_NAME), &window);
    QFont big = name->font();
    big.setPixelSize(32);
    big.setWeight(QFont::DemiBold);
    name->setFont(big);
    auto* version = new QLabel(
        QStringLiteral("Version " QUORVANE_DEMO_VERSION " (" QUORVANE_DEMO_BUILD ")"), &window);
    for (auto* label : {name, version}) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
    }
    window.resize(420, 220);
    window.show();
    return app.exec();
}
