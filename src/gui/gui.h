// The program's entry function as the enclosing launcher calls it.
#pragma once

#include <memory>

#include "app/launcher/host_channels.h"

namespace termiva {

// Shows the window and runs until the window system or the tray ends the program.
// Both channels may be null. A failure is reported as "[GUI] fatal:" and thrown on.
void GUI(std::shared_ptr<QueueAll> Queue_All_variable,
         std::shared_ptr<EventAll> Event_All_variable);

}  // namespace termiva
