// Settings an installation may override. wsPort is halyx's mqtt_ws_port,
// used when the hub does not say it (halyx.json); #ws=PORT at the end of
// the page's address takes precedence over both.
var halyxConfig = {
  wsPort: 8080,
};
