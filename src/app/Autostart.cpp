// Autostart
