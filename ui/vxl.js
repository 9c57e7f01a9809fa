// The text table of the pages. "%1", "%2" … stand for the arguments of ytol(); every text is
// plain text and is put on the page as text.
var YTOL = {
  "main.locale": "en",
  "main.months": "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec",
  "main.title": "Orvane Tessel Hard Drive Utility",

  "si.url": "/oauth?client_id=%1&response_type=token&redirect_uri=ytoauth://postauth",
  "orvane.clientid": "TesselUtilityDesktop01",
  "orvane.gopath": "/",

  "but.yes": "Yes",
  "but.no": "No",
  "but.ok": "OK",
  "but.cancel": "Cancel",
  "but.close": "Close",
  "but.retry": "Retry",

  "orvane.tour.title": "Your photos, safe on your drive",
  "orvane.tour.text1": "Choose the folders on this computer that hold your photos.",
  "orvane.tour.text2": "New and changed photos are copied to your Tessel drive by themselves.",
  "orvane.tour.text3": "Your drive also opens as a folder here, whenever you need it.",
  "orvane.tour.start": "Get Started",
  "orvane.tour.note": "You sign in on the Orvane website.",
  "orvane.verify": "Checking your sign-in…",
  "orvane.signingin": "Signing you in…",
  "orvane.opening": "Opening the sign-in page…",

  "orvane.neterr.title": "No connection to Orvane",
  "orvane.neterr.text": "Check that this computer is online, then refresh.",
  "orvane.neterr.refresh": "Refresh",
  "orvane.neterr.checking": "Checking the connection…",

  "orvane.os.title": "This system is not supported",
  "orvane.os.text": "Orvane Tessel needs a newer operating system.",
  "orvane.os.learn": "Learn More",
  "orvane.upgrade.title": "Your web browser needs an update",
  "orvane.upgrade.text": "Install the newer browser engine, then check again.",
  "orvane.upgrade.button": "Upgrade",

  "orvane.nodest.title": "No drive to back up to",
  "orvane.nodest.text": "None of your Tessel drives is online. Turn the drive on, then retry.",
  "orvane.nodest.signout": "Sign Out",

  "orvane.unavail.title": "“%1” is not available",
  "orvane.unavail.text": "The drive is offline. Retry once it is back, or continue without it.",
  "orvane.unavail.continue": "Continue",
  "orvane.unavail.still": "“%1” is still not available.",

  "orvane.status.checking": "Checking your drive…",
  "orvane.status.ok": "Your drive is ready",
  "orvane.status.okspace": "%1 free of %2",
  "orvane.status.fail": "Your drive can't be reached",
  "orvane.status.failtext": "Backups wait until it is back.",

  "orvane.bottom.open": "View Photos Online",
  "orvane.bottom.signout": "Sign Out",
  "orvane.bottom.folders": "Choose Folders",
  "orvane.bottom.openfail": "The photo website could not be opened. Try again in a moment.",

  "orvane.processing": "Working…",
  "orvane.finished": "Done",

  "orvane.backups": "Backups",
  "orvane.backups.none": "No folders are backed up yet.",
  "orvane.backups.nonehint": "Choose the folders that hold your photos.",
  "orvane.task.pending": "Waiting to start",
  "orvane.task.preparing": "Looking for new photos…",
  "orvane.task.running": "Backing up %1 of %2",
  "orvane.task.runningfile": "Backing up %1 of %2 — %3",
  "orvane.task.percent": "%1%",
  "orvane.task.canceling": "Pausing…",
  "orvane.task.paused": "Paused",
  "orvane.task.offline": "Waiting for a network",
  "orvane.task.offlinehint": "Backup goes on by itself when the drive can be reached.",
  "orvane.task.uptodate": "Up to date",
  "orvane.task.retry": "Will try again in a minute",
  "orvane.task.failed1": "1 photo could not be backed up",
  "orvane.task.failedn": "%1 photos could not be backed up",
  "orvane.task.idle": "Not running",
  "orvane.task.last": "Last backup %1",
  "orvane.task.lastnone": "No backup finished yet",
  "orvane.task.yesterday": "yesterday %1",
  "orvane.task.pause": "Pause",
  "orvane.task.resume": "Resume",
  "orvane.task.show": "Show",
  "orvane.task.hide": "Hide",
  "orvane.task.pauselabel": "Pause backing up %1",
  "orvane.task.resumelabel": "Resume backing up %1",
  "orvane.task.showlabel": "Show the photos of %1 that could not be backed up",
  "orvane.task.errlist": "Photos of %1 that could not be backed up",
  "orvane.task.announce": "%1: %2",
  "orvane.task.retryat": "Will try again at %1",
  "orvane.task.next": "Next try at %1",
  "orvane.task.waiting1": "1 photo waits",
  "orvane.task.waitingn": "%1 photos wait",
  "orvane.task.leftout1": "1 file not backed up: %1",
  "orvane.task.leftoutn": "%1 files not backed up: %2",
  "orvane.task.leftoutbare1": "1 file not backed up",
  "orvane.task.leftoutbaren": "%1 files not backed up",
  "orvane.task.leftouthint": "Only photos are backed up. Other files stay on this computer only.",
  "orvane.task.leftouthintvideos": "Only photos and videos are backed up. Other files stay on this computer only.",
  "orvane.task.signin": "Sign In",
  "orvane.task.signinlabel": "Sign in again to back up %1",

  "orvane.problem.drivefull": "The drive is full",
  "orvane.problem.drivefull1": "The drive is full: 1 photo waits",
  "orvane.problem.drivefulln": "The drive is full: %1 photos wait",
  "orvane.problem.drivefullhint": "Make room on the drive; backup then goes on.",
  "orvane.problem.signin": "Sign in again",
  "orvane.problem.signinhint": "Your sign-in has ended. Backups wait until you sign in.",
  "orvane.problem.localdisk": "This computer's disk is full",
  "orvane.problem.localdiskhint": "Free some space on this computer; backup then goes on.",
  "orvane.problem.offline": "Waiting for the network",
  "orvane.problem.offlinehint": "Backup goes on by itself once this computer is online.",
  "orvane.problem.unavailable": "Folder not available",
  "orvane.problem.unavailablehint": "Connect the disk that holds it, or add the folder again.",
  "orvane.problem.other": "Backup stopped",

  "orvane.fileerr.nospace": "The drive is full",
  "orvane.fileerr.noconn": "No connection",
  "orvane.fileerr.offline": "The drive was offline",
  "orvane.fileerr.unknown": "Could not be copied",

  "orvane.picker.title": "Folders to back up",
  "orvane.picker.text": "New photos in the checked folders are copied to “%1”.",
  "orvane.picker.textnodrive": "New photos in the checked folders are copied to your drive.",
  "orvane.picker.add": "Add a Folder…",
  "orvane.picker.done": "Done",
  "orvane.picker.empty": "No folders yet. Add the folders that hold your photos.",
  "orvane.picker.duplicate": "“%1” is already in the list.",
  "orvane.picker.addfail": "“%1” could not be set up for backing up. Try again in a moment.",
  "orvane.picker.nodest": "Your drive is not available yet, so no folder can be added.",
  "orvane.picker.removefail": "“%1” could not be taken out of the backup.",
  "orvane.picker.videos": "Back up videos too",
  "orvane.picker.videoshint": "For folders added from now on."
};

// The text of `key` with "%1", "%2" … replaced by the further arguments, in one pass, so that an
// argument holding "%2" stays as it is.
function ytol(key) {
  var text = Object.prototype.hasOwnProperty.call(YTOL, key) ? YTOL[key] : key;
  var args = arguments;
  return text.replace(/%(\d)/g, function (all, n) {
    var i = Number(n);
    return i >= 1 && i < args.length ? String(args[i]) : all;
  });
}
