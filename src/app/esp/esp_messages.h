// The flashing job's messages in the catalog: "esp.msg.<code>" for every code the job
// reports (English from the library's own wording, Chinese here), and the firmware
// dialog's texts.
#pragma once

#include "app/messages/messages.h"

namespace termiva {

MessageCatalog with_esp_job_messages(MessageCatalog catalog);

}  // namespace termiva
