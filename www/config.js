// Settings an installation may override. wsPort is halyx's mqtt_ws_port;
// a ?ws=PORT (or #ws=PORT) in the page's address takes precedence.
var halyxConfig = {
  wsPort: 8080,
};
