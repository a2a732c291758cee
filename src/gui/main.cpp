// The enclosing launcher: starts the program without host channels.
#include <exception>

#include "gui/gui.h"

int main() {
    try {
        termiva::GUI(nullptr, nullptr);
    } catch (...) {
        return 1;  // GUI has reported the failure
    }
    return 0;
}
