#pragma once
// The settings the Windows installer package takes as properties (ENDERECO=..., the settings keys in
// capitals) and writes into config.ini, and the text its custom actions hand on to one another. Portable, so
// that the rules are tested on both builds; msi_actions_win32.cpp does the installer's and the file system's
// part.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

// The keys of section "SERVIDOR" the package sets, in the order it writes them. Each is taken from the
// installer property of the same name in capitals.
inline constexpr std::array<std::string_view, 7> kPackageSettingKeys = {
    "endereco", "contrato", "user", "pass", "horario", "paralelo", "certificado"};

// The installer property of a settings key: the key in capitals ("endereco" -> "ENDERECO").
std::string SettingProperty(std::string_view key);

struct SettingAssignment {
    std::string key;
    std::string value;
};

// The text to write after "key=" so that the profile reader gives back exactly `value`: the value itself, or
// the value inside double quotation marks when blanks at either end or an enclosing pair of quotation marks
// would otherwise be taken off by the reader.
std::string ProfileValueText(std::string_view value);

// Why the given settings cannot go into config.ini, one sentence naming the property, or empty text: a line
// break (it would end the key's line and start another one) or a text longer than the reader takes.
std::string AssignmentProblem(const std::vector<SettingAssignment>& given);

// The refusal of an installation that would leave config.ini without the server's address or the contract
// number; empty text when both are given as properties or kept from the file at `settings_path`.
std::string MissingServerProblem(bool server_known, bool contract_known, std::string_view settings_path);

// What the deferred action that writes config.ini needs: the file, its access list (security descriptor
// text), the file's bytes before the installation began (to restore it when an older version's removal took
// it away during an upgrade), and the keys with the texts to write (ProfileValueText already applied).
struct SettingsWrite {
    std::string path;
    std::string access;
    std::optional<std::string> previous_content;
    std::vector<SettingAssignment> assignments;
};

std::string EncodeSettingsWrite(const SettingsWrite& write);
// Nothing when the text is not one EncodeSettingsWrite made.
std::optional<SettingsWrite> DecodeSettingsWrite(std::string_view text);

} // namespace telva
