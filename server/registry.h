// The server's application list: one entry per used application slot, kept in step
// with registrations, plus the settings summary lines.
#pragma once

#include "client/compat.h"

int tracewnd_AddApplication(int handle);
int tracewnd_RemoveApplication(int handle);
void tracewnd_CheckApplications();
// The decision of the check for ended processes: the result and last error of
// GetProcessVersion, the error of opening the process (ERROR_SUCCESS when it opened)
// and, when it opened, whether it has exited. Only a process that does not exist or has
// exited counts as ended; one that may not be opened still runs.
bool tracewnd_ProcessEnded(DWORD versionResult, DWORD versionError, DWORD openError, bool exited);
void tracewnd_RefillApplications();
void tracewnd_ShowAllSettings();
