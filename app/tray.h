// The tray icon, its menu and the window procedure of the hidden window.
#pragma once

#include <windows.h>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void FillTrayIcon();
void LoadTrayMenu();
void AddTrayIcon();
void RetryTrayIcon();
void StopIconRetries();
void ShowTrayMenu();
void HandleMenuCommand();
void ExitProgram();
