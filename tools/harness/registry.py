"""Where Quindle keeps its start at sign-in, as reg.exe names the keys, and the approval
value with which Task Manager turns a start back on (the program's own constants, for Python)."""
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
APPROVED_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
ENABLED_APPROVAL = "02" + "00" * 11
