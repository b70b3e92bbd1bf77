"""The failed checks of a checking script that goes on after each failure, and reports them all
at the end: the metrics, dissector and Wine checks share it."""


class Failures:
    """Collects the messages of the checks that failed.

    `echo` prints each failure as it happens, after that prefix; with `passes`, the checks that
    hold are printed as well, so a long run shows how far it got.
    """

    def __init__(self, echo=None, passes=False):
        self.messages = []
        self.echo = echo
        self.passes = passes

    def check(self, condition, message, detail=""):
        """Records `message` (with `detail`, when given) unless `condition` holds; returns it."""
        if not condition:
            self.messages.append(f"{message}  {detail}" if detail else message)
        if self.echo and (self.passes or not condition):
            shown = message if condition or not detail else f"{message}  {detail}"
            print(f"{self.echo}: {'PASS' if condition else 'FAIL'} {shown}", flush=True)
        return condition
