// Pieces the platform's sources share between them.
#pragma once

// The board's global interrupt-enable flag.
void platformDisableInterrupts();
void platformEnableInterrupts();
