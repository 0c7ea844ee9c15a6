// DDE
