/* Placeholder: filled in by its subsystem. */
