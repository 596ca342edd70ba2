#include <QApplication>
#include <QIcon>

#include "mainform.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(":/pelmora.png"));
    SetUpProgram();
    TMainForm form(QApplication::arguments().mid(1));
    form.show();
    return app.exec();
}
