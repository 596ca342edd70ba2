#include <QApplication>

#include "mainform.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Pelmora");
    TMainForm form;
    if (argc > 1) form.SetStartTable(QString::fromLocal8Bit(argv[1]));
    form.show();
    return app.exec();
}
