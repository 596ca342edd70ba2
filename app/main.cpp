#include <QApplication>

#include "mainform.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    SetUpProgram();
    TMainForm form(QApplication::arguments().mid(1));
    form.show();
    return app.exec();
}
