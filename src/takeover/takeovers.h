#pragma once
// Making a chosen server the machine's owner for one role. Non-zero = success.

int TakeOverParent(const char* server);
int TakeOverHPDServer(const char* server);
int TakeOverPrimary(const char* server);
int TakeOverQuarantine(const char* server);
int TakeOverAlerts(const char* server);
int TakeOverWDR(const char* server);
int TakeOverKPZ(const char* server);
