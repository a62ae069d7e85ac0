#include "commons/process_records.h"

namespace telva {

TAuditSettings AuditSettings;
TApiSession ApiSession;
bool RunNow = true;

} // namespace telva
