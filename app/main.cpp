#include <QApplication>

#include "mainform.h"
#include "setupfrm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    SetUpProgram();
    TMainForm form(QApplication::arguments().mid(1));
    // "&Setup" opens the structure editor, which Open and New then show.
    InstallSetupForm(form);
    form.show();
    return app.exec();
}
