// RegSave's functions and its one global, shared by app/ and ui/.
#ifndef REGSAVE_REGSAVE_H
#define REGSAVE_REGSAVE_H

#include "platform.h"

// The module instance, stored once by CreateMainWindow before anything else.
extern HINSTANCE g_hInstance;

// app/
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);
BOOL CreateMainWindow(HINSTANCE hInstance, int nCmdShow);
ATOM RegisterMainClass(HINSTANCE hInstance, LPCWSTR szWindowClass);
// 1 on the target handheld, 0 on any other device.
int CheckTargetDevice(void);

// ui/
LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
void ResetBootCount(void);
void SaveRegistry(void);
void DeleteRegistry(void);
INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
// Runs the About box modally, owned by hWndOwner; returns when it has been closed.
void ShowAboutBox(HWND hWndOwner);

#endif
