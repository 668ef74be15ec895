// The server's application list: one entry per used application slot, kept in step
// with registrations, plus the settings summary lines.
#pragma once

#include "client/compat.h"

int tracewnd_AddApplication(int handle);
int tracewnd_RemoveApplication(int handle);
void tracewnd_CheckApplications();
void tracewnd_RefillApplications();
void tracewnd_ShowAllSettings();
