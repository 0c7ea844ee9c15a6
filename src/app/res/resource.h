// Resource and command ids shared by the resource script and the code.
#pragma once

// Tray icons: IconBase + offset; 1000 active, 1008 suspended (crossed out).
#define IDI_TRAY_BASE 1000
#define IDI_TRAY_SUSPENDED 1008

// Commands of the popup menu "PLANDRELMENU".
#define IDM_LOAD 100
#define IDM_UNLOAD 103
#define IDM_SUSPEND 104
#define IDM_WEB_BASE 200
