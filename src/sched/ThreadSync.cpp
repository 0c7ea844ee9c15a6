// Synchroniser
