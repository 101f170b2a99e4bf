"""Web backend of the Quellmark Console sample."""
