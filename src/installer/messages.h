// Every text the installer can show, word for word (UTF-8). A text ending in
// ": " is completed with the text of the failure that caused it.
#pragma once

#include <string>
#include <string_view>

#include "installer/result.h"

namespace lbw::messages {

inline constexpr std::string_view kTitle = "Lirabel Warden";

inline constexpr std::string_view kLocalAppDataMissing =
    "Der Ordner LOCALAPPDATA wurde nicht gefunden.";
inline constexpr std::string_view kFolderNotCreated =
    "Der Programmordner konnte nicht angelegt werden: ";
inline constexpr std::string_view kPayloadDamaged =
    "Die Datei ist beschädigt. Lade sie bitte noch einmal herunter.";
inline constexpr std::string_view kNotUnpacked = "Warden konnte nicht entpackt werden: ";
inline constexpr std::string_view kOlderVersionRunning =
    "Eine ältere Version von Warden läuft noch. Beende sie im Tray und starte diese "
    "Datei noch einmal.";
inline constexpr std::string_view kNotStarted = "Warden konnte nicht gestartet werden: ";

// A fixed text as an error.
inline ErrorText error(std::string_view text) { return {std::string(text)}; }

// A text ending in ": " completed with the failure's own text.
inline ErrorText error(std::string_view text, std::string_view detail) {
  std::string completed;
  completed.reserve(text.size() + detail.size());
  completed.append(text).append(detail);
  return {std::move(completed)};
}

}  // namespace lbw::messages
