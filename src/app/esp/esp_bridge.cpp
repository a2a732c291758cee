// The page's ESP operations.
#include "app/esp/esp_tools.h"
#include "app/json_values.h"

namespace termiva {

void EspTools::register_ops(BridgeTable& b) {
    using Args = std::vector<Json>;
    auto text = [](const Args& a, std::size_t i) -> const std::string& {
        return a.at(i).get_ref<const std::string&>();
    };
    b.add("hard_reset_esp",
          {{"tab_id"},
           [] { return Json(false); },
           [this, text](const Args& a) { return Json(hard_reset_esp(text(a, 0))); }});
    b.add("enter_bootloader_esp",
          {{"tab_id"},
           [] { return Json(false); },
           [this, text](const Args& a) { return Json(enter_bootloader_esp(text(a, 0))); }});
    b.add("esp_flash_start", {{"tab_id", "mode", "files", "options"},
                              [] {
                                  return Json{{"ok", false}};
                              },
                              [this, text](const Args& a) {
                                  return esp_flash_start(text(a, 0), text(a, 1), a[2], a[3]);
                              }});
    b.add(
        "esp_flash_pick_files",
        {{}, [] { return Json::array(); }, [this](const Args&) { return esp_flash_pick_files(); }});
    b.add("esp_files_from_build_dir",
          {{"dir"},
           [] {
               return Json{{"ok", false}};
           },
           [this, text](const Args& a) { return esp_files_from_build_dir(text(a, 0)); }});
    b.add(
        "esp_pick_build_dir",
        {{}, [] { return Json(""); }, [this](const Args&) { return Json(esp_pick_build_dir()); }});
    b.add("esp_guess_offset",
          {{"filename", "chip"},
           [] { return Json(); },
           [this, text](const Args& a) { return esp_guess_offset(text(a, 0), text_of(a[1])); }});
    b.add("esp_file_size",
          {{"path"},
           [] { return Json(-1); },
           [this, text](const Args& a) { return Json(esp_file_size(text(a, 0))); }});
    b.add("esp_chip_list",
          {{}, [] { return Json::array(); }, [this](const Args&) { return esp_chip_list(); }});
    b.add("esp_get_session_prefs",
          {{"tab_id"},
           [] { return Json::object(); },
           [this, text](const Args& a) { return esp_get_session_prefs(text(a, 0)); }});
}

}  // namespace termiva
