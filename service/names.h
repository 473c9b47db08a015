// The service's names, as the service manager, the event log and the
// installers know it.
#pragma once

#define SERVICE_NAME "vyrq4asr"
#define SERVICE_DISPLAY_NAME "VYR Automatic Server Restart Service for IPMI"
