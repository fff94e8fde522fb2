// Temporary: operations whose modules are being written.
