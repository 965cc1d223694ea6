// The stored settings of every copy: listed in the log, or cleared.
#pragma once

void ShowWickets();
void ClearWickets();
