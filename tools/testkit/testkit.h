// What testkit's actions share. Each action is a function of its command-line arguments
// that returns the program's exit code; main.cpp lists them, the other files hold them by
// kind: launching, input, the menu, fixtures and the footprint.
#pragma once

#include <windows.h>

#include "helpers.h"

constexpr DWORD Deadline = 10000;

HWND FindQuindle(); // Quindle's hidden window, or null
HWND FindWindowOf(DWORD process, const wchar_t *className, const wchar_t *title);
bool AnsweredBy(HWND window); // once its thread takes messages again
void PressKey(WORD key);
void AppendLine(const wchar_t *path, const char *text);

int Launch(int count, wchar_t **arguments);
int MiddlePress(int count, wchar_t **arguments);
int Keys(int count, wchar_t **arguments);
int Eat(int count, wchar_t **arguments);
int Menu(int count, wchar_t **arguments);
int Look(int count, wchar_t **arguments);
int Rehooks(int count, wchar_t **arguments);
int Notice(int count, wchar_t **arguments);
int TaskbarCreated(int count, wchar_t **arguments);
int Close(int count, wchar_t **arguments);
int Send(int count, wchar_t **arguments);
int Window(int count, wchar_t **arguments);
int Record(int count, wchar_t **arguments);
int Footprint(int count, wchar_t **arguments);
