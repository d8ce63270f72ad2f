// Installation of the test utility: it must be a regular file owned by root
// with mode 4711 to run as root.
#pragma once

// Checks perfutilpath once at launch and, on the user's consent, installs the
// utility with administrator rights.
void autoauth();
// Runs the mode and owner commands on path with administrator rights.
void rootybin(const char* path);
