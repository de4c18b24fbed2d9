// Identifiers shared by the resource script and the program.
#ifndef REGSAVE_RESOURCE_H
#define REGSAVE_RESOURCE_H

// Strings
#define IDS_TITLE   1
#define IDS_CLASS   3

// Icons
#define IDI_APP     101

// Dialogs
#define IDD_ABOUT   103

// Accelerator tables
#define IDR_ACCEL   3

// Controls
#define IDC_SAVE    110
#define IDC_DELETE  111

// Commands
#define IDM_EXIT    40002
#define IDM_ABOUT   40003

#endif
