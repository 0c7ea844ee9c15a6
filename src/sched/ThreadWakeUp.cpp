// Scheduler
