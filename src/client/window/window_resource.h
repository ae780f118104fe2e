// window_resource.h - the chat window's resource ids, shared by its resource script and its code.
#pragma once

// The programs' icon (resource 1 of each, from the build's version resource).
#define IDI_APP 1

#define IDR_MENU 100
#define IDD_NAME 110
#define IDC_NAME_PROMPT 111
#define IDC_NAME_EDIT 112
#define IDC_NAME_PROBLEM 113
#define IDD_RELAY 120
#define IDC_RELAY_PROMPT 121
#define IDC_RELAY_COMBO 122

#define IDM_NAME 200
#define IDM_RELAY 201
#define IDM_BELL 202
#define IDM_EXIT 203
#define IDM_GUIDE 204
#define IDM_ABOUT 205
#define IDM_SHARE 206
#define IDM_FILES 207
