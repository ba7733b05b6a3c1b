<%@ Language="JScript" %><%
// The benchmark chart: 2-D clustered bars, 6 months by 3 regions, 576 x 384
// pixels (6 x 4 inches), legend on the right, JPEG.
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Width = 6;
chart.Height = 4;
chart.ChartType = 1;
chart.ChartTitle = "Quarterly sales";
chart.XTitle = "Month";
chart.YTitle = "Units";
chart.Legends = 1;
var months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun"];
var regions = ["North", "South", "West"];
chart.Rows(6);
chart.Columns(3);
for (var r = 1; r <= 6; r++) {
  chart.CurrentRow(r);
  chart.RowTitle(months[r - 1]);
  for (var c = 1; c <= 3; c++) {
    chart.CurrentColumn(c);
    if (r == 1) chart.ColumnTitle(regions[c - 1]);
    chart.SetData(10 + (((r - 1) * 7 + (c - 1) * 13) % 23));
  }
}
chart.LegendPosition(4);
chart.SendChart();
%>
