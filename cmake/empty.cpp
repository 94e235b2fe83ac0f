// Placeholder so a subsystem library without sources still builds.
