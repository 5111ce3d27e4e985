"""Small stand-in for the kit's ``layer1.exceptions`` module, kept apart from the deliverables."""


class Layer1Error(Exception):
    """Base of every layer-1 failure; ``str(error)`` is the message."""


class Layer1ProcessingError(Layer1Error):
    """A stage could not finish its work (internal failure, not a verdict)."""


class PromptValidationError(Layer1Error):
    """The prompt was rejected as invalid or unsafe."""
