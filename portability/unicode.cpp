// Placeholder: this module is being written.
