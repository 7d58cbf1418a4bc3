#pragma once

namespace keldinst {

// Where InstallDriver keeps the values it replaced; expected to exist.
inline constexpr const char* kBackupKey = "SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver";

}  // namespace keldinst
