// About: the project page, opened in the user's browser.
#pragma once

#include <windows.h>

void ShowAbout();
bool StartPageOpener(bool elevated);
void OpenProjectPage(bool elevated);
bool OpenThroughDesktopShell(const wchar_t *page);
bool OpenWithShellExecute(const wchar_t *page);
