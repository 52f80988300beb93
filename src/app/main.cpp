// Process entry: the application object, the main window, the event loop.
#include "app/application.h"
#include "app/main_form.h"

int main(int argc, char** argv) {
    vorl::TApplication app(argc, argv);
    vorl::TMainForm form;
    form.show();
    return vorl::TApplication::exec();
}
