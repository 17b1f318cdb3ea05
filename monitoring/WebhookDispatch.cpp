// Alerts and notices to the webhook targets.
#include "monitoring/MonitorCore.h"

void CMonitorCore::SendWebhooks(const AlertNotice& notice) {
    (void)notice;
}
