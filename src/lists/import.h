#pragma once
void Import(const char* fileName);
